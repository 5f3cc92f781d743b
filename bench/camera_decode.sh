#!/bin/bash
# Camera decode benchmark: CPU time per second of live 1080p25 H.264 from the
# synthetic camera and from the RTSP test server (loopback), taken in by the
# camera SDK layer and decoded to BGRA by the player, beside ffmpeg decoding
# the same stream in the same run.
# usage: bench/camera_decode.sh BUILD_DIR [SECONDS]
set -e
build=${1:?usage: camera_decode.sh BUILD_DIR [SECONDS]}
seconds=${2:-10}
bench=$build/bench/camera_decode_bench
server=$build/tools/rtsp_test_server
dump=$(mktemp /tmp/camera_bench.XXXXXX.h264)
out=$(mktemp /tmp/camera_bench.XXXXXX.txt)
server_pid=

finish() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    rm -f "$dump" "$out"
}
trap finish EXIT

# CPU milliseconds (user + system) that a command and its children used.
cpu_of() {
    local TIMEFORMAT='%3U %3S'
    { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{printf "%.1f", ($1 + $2) * 1000}'
}

echo "== synthetic camera test://1920x1080@25"
"$bench" "test://1920x1080@25" "$seconds" 0 "$dump"
ms=$(cpu_of ffmpeg -nostdin -hide_banner -re -framerate 25 -i "$dump" -f null -)
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$dump")
echo "ffmpeg -re -i same.h264 -f null -   cpu $(echo "$ms $frames" | awk '{printf "%6.1f", $1 / ($2 / 25)}') ms/s  ($frames frames)"

echo "== RTSP test server 1920x1080@25, TCP"
"$server" --port 0 --path /ch1/main=1920x1080@25 --bitrate 4000 >"$out" &
server_pid=$!
for i in $(seq 50); do grep -q ready "$out" && break; sleep 0.1; done
port=$(awk '/ready/ {print $2}' "$out")
url="rtsp://127.0.0.1:$port/ch1/main"
"$bench" "$url" "$seconds" 0
ms=$(cpu_of timeout $((seconds + 2)) ffmpeg -nostdin -hide_banner -rtsp_transport tcp -i "$url" -t "$seconds" -f null -)
echo "ffmpeg -i $url -f null -   cpu $(echo "$ms $seconds" | awk '{printf "%6.1f", $1 / $2}') ms/s (incl. start-up)"
