#!/bin/bash
# Idle benchmark: kestrel in daemon mode recording the RTSP test camera
# (1920x1080@25, 1 s key frames, loopback TCP) with nobody looking: its CPU
# beside ffmpeg copying the same stream into a fragmented MP4, both measured
# over the same seconds (and the same for a second kestrel binary, e.g. one
# built before, when given). Then the first preview.jpg after PAUSE seconds
# without any consumer: its time, p50 and worst of ROUNDS.
# usage: bench/idle_decode.sh BUILD_DIR [SECONDS] [PAUSE] [ROUNDS] [OTHER_KESTREL]
set -e
build=$(cd "${1:?usage: idle_decode.sh BUILD_DIR [SECONDS] [PAUSE] [ROUNDS] [OTHER_KESTREL]}" && pwd)
seconds=${2:-20}
pause=${3:-30}
rounds=${4:-10}
other=${5:-}
. "$(dirname "$0")/web_common.sh"

# CPU ticks (user + system) of a running process.
ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
per_second() { echo "$1 $2 $(getconf CLK_TCK) $seconds" | awk '{printf "%6.1f", ($2 - $1) * 1000 / $3 / $4}'; }

# kestrel ($1: binary) recording with no viewer, beside ffmpeg -c copy.
measure_idle() {
    kestrel_exe=$1
    # The default main_interval, as an installed daemon runs (the web
    # benchmarks' 10 would add a hundred idle wake-ups a second).
    start_kestrel "idle$2" "$camera_url" rec_active=true "rec_path=$work/idle$2/rec/" main_interval=100 || return 1
    mkdir -p "$work/idle$2/rec"
    ffmpeg -nostdin -hide_banner -loglevel error -rtsp_transport tcp -i "$camera_url" -c copy \
        -f mp4 -movflags frag_keyframe+empty_moov+default_base_moof -y "$work/copy$2.mp4" &
    local ffmpeg_pid=$!
    pids+=("$ffmpeg_pid")
    # The picture start_kestrel asked for keeps it decoding a few seconds.
    sleep 7
    local k0 f0 k1 f1
    k0=$(ticks_of "$kestrel_pid"); f0=$(ticks_of "$ffmpeg_pid")
    sleep "$seconds"
    k1=$(ticks_of "$kestrel_pid"); f1=$(ticks_of "$ffmpeg_pid")
    kill "$ffmpeg_pid"
    echo "kestrel $1, recording, no viewer   cpu $(per_second "$k0" "$k1") ms/s"
    echo "ffmpeg -c copy to fragmented MP4 (same seconds)   cpu $(per_second "$f0" "$f1") ms/s"
    echo "recordings: $(ls "$work/idle$2/rec" | wc -l) file(s), $(du -sk "$work/idle$2/rec" | cut -f1) KiB"
}

# The first picture after $pause s without a consumer, $rounds times.
measure_first_picture() {
    local times=()
    for _ in $(seq "$rounds"); do
        sleep "$pause"
        times+=("$(curl -sf -u bench:bench -o "$work/first.jpg" -w '%{time_total}' \
            "http://127.0.0.1:$kestrel_port/preview.jpg")")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v pause="$pause" \
        '{t[NR] = $1 * 1000} END {printf "first preview.jpg after %s s idle: p50 %.0f ms, worst %.0f ms (%d rounds)\n", pause, t[int((NR + 1) / 2)], t[NR], NR}'
}

start_rtsp_camera
echo "== RTSP test server 1920x1080@25, 1 s key frames, TCP; ${seconds} s each"
measure_idle "$build/kestrel" 1
measure_first_picture
kill "$kestrel_pid"
if [ -n "$other" ]; then
    measure_idle "$other" 2
    kill "$kestrel_pid"
fi
