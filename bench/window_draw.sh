#!/bin/bash
# Window benchmark: CPU time per second of the real kestrel showing live
# 1080p25 H.264 in an 800 x 600 window on the offscreen platform (receive,
# decode, BGRA conversion, scaled drawing at every new picture), from the
# synthetic camera and from the RTSP test server, beside ffmpeg decoding the
# RTSP stream to nowhere in the same run. Loopback only.
# usage: bench/window_draw.sh BUILD_DIR [SECONDS]
set -e
build=${1:?usage: window_draw.sh BUILD_DIR [SECONDS]}
seconds=${2:-10}
server=$build/tools/rtsp_test_server
work=$(mktemp -d /tmp/window_bench.XXXXXX)
server_pid=
kestrel_pid=

finish() {
    [ -n "$kestrel_pid" ] && kill "$kestrel_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

free_port() {
    local port=$((20000 + RANDOM % 20000))
    while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
    echo "$port"
}

# CPU ticks (user + system) of a running process.
ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Runs kestrel with the camera address given, lets it settle, then reports its
# CPU milliseconds per second over the measuring time.
measure_kestrel() {
    local camera=$1
    cp "$build/kestrel" "$work/kestrel"
    printf '%s\r\n' "ip=127.0.0.1" "port=$(free_port)" "ipc_ip=$camera" "width=800" "height=600" \
        > "$work/kestrel.cfg"
    rm -f "$work/kestrel.log"
    QT_QPA_PLATFORM=offscreen "$work/kestrel" >/dev/null 2>&1 &
    kestrel_pid=$!
    for i in $(seq 100); do grep -q "preview started" "$work/kestrel.log" 2>/dev/null && break; sleep 0.1; done
    sleep 3
    local hz start end
    hz=$(getconf CLK_TCK)
    start=$(ticks_of "$kestrel_pid")
    sleep "$seconds"
    end=$(ticks_of "$kestrel_pid")
    kill "$kestrel_pid"
    wait "$kestrel_pid" 2>/dev/null || true
    kestrel_pid=
    echo "kestrel window 800x600, $camera   cpu $(echo "$start $end $hz $seconds" | awk '{printf "%6.1f", ($2 - $1) * 1000 / $3 / $4}') ms/s"
}

echo "== synthetic camera (its encoder runs inside kestrel and is counted)"
measure_kestrel "test://1920x1080@25"

echo "== RTSP test server 1920x1080@25, TCP"
"$server" --port 0 --path /ch1/main=1920x1080@25 --bitrate 4000 >"$work/server.txt" &
server_pid=$!
for i in $(seq 50); do grep -q ready "$work/server.txt" && break; sleep 0.1; done
url="rtsp://127.0.0.1:$(awk '/ready/ {print $2}' "$work/server.txt")/ch1/main"
measure_kestrel "$url"
TIMEFORMAT='%3U %3S'
ms=$( { time timeout $((seconds + 5)) ffmpeg -nostdin -hide_banner -rtsp_transport tcp -i "$url" \
    -t "$seconds" -f null - >/dev/null 2>&1; } 2>&1 | awk '{printf "%.1f", ($1 + $2) * 1000}')
echo "ffmpeg -i $url -f null -   cpu $(echo "$ms $seconds" | awk '{printf "%6.1f", $1 / $2}') ms/s (incl. start-up)"
