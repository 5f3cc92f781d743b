#!/bin/bash
# Live MP4 benchmark: kestrel in daemon mode on the RTSP test camera
# (1920x1080@25, 1 s key frames, 4 Mbit/s, loopback TCP). kestrel's CPU with
# 1, 20 and 100 "preview.mp4" clients beside one "preview.mjpeg" client at
# 640x360, each over the same number of seconds; the time from a packet's
# arrival at kestrel to its fragment's last byte on a client's socket with
# 20 clients (arrivals from KESTREL_PACKET_TRACE, a file only this script
# asks for); the first fragment after a request; and, for comparison,
# ffmpeg copying the same camera into a fragmented MP4 on a pipe.
# usage: bench/live_mp4.sh BUILD_DIR [SECONDS]
set -e
build=$(cd "${1:?usage: live_mp4.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_common.sh"

ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Percent of one core over the seconds between two tick counts.
core_percent() { echo "$1 $2 $(getconf CLK_TCK) $3" | awk '{printf "%5.1f %%", ($2 - $1) * 100 / $3 / $4}'; }

# kestrel's CPU while command runs for $seconds.
measure() {
    local label=$1
    shift
    "$@" &
    local load=$!
    sleep 3  # the clients are connected and the decoder (for MJPEG) runs
    local k0 k1
    k0=$(ticks_of "$kestrel_pid")
    sleep "$seconds"
    k1=$(ticks_of "$kestrel_pid")
    wait "$load" || true
    printf '%-44s kestrel cpu %s of a core\n' "$label" "$(core_percent "$k0" "$k1" "$seconds")"
}

mjpeg_client() {
    curl -s -u bench:bench -o /dev/null -m $((seconds + 5)) \
        "http://127.0.0.1:$kestrel_port/preview.mjpeg?w=640&h=360" || true
}
mp4_clients() { python3 "$here/live_mp4_clients.py" "$kestrel_port" "$1" $((seconds + 5)) --discard >/dev/null; }

start_rtsp_camera
export KESTREL_PACKET_TRACE=$work/trace.txt
start_kestrel live "$camera_url" main_interval=100
unset KESTREL_PACKET_TRACE
echo "== RTSP test server 1920x1080@25, 1 s key frames, 4 Mbit/s, TCP; ${seconds} s each; load: $(cut -d' ' -f1-3 /proc/loadavg)"
sleep 6  # the picture start_kestrel asked for stops being decoded
measure "no client" sleep $((seconds + 5))
measure "1 preview.mjpeg client at 640x360" mjpeg_client
sleep 6
for n in 1 20 100; do
    measure "$n preview.mp4 client(s)" mp4_clients "$n"
done
echo "== 20 clients, latency and first fragment"
python3 "$here/live_mp4_clients.py" "$kestrel_port" 20 "$seconds" "$work/trace.txt"
echo "== single clients one after another (first fragment after the request)"
for _ in 1 2 3 4 5; do python3 "$here/live_mp4_clients.py" "$kestrel_port" 1 1; sleep 0.3; done | awk '{print}'
echo "== ffmpeg -c copy of the same camera into a fragmented MP4 on a pipe"
ffmpeg -nostdin -hide_banner -loglevel error -rtsp_transport tcp -i "$camera_url" -c copy -f mp4 \
    -movflags frag_keyframe+empty_moov+default_base_moof - >/dev/null &
ffmpeg_pid=$!
pids+=("$ffmpeg_pid")
sleep 3
f0=$(ticks_of "$ffmpeg_pid")
sleep "$seconds"
f1=$(ticks_of "$ffmpeg_pid")
printf '%-44s ffmpeg cpu %s of a core\n' "1 stream copy" "$(core_percent "$f0" "$f1" "$seconds")"
