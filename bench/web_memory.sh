#!/bin/bash
# Memory benchmark: kestrel's resident memory over rounds of changing web
# load on a 1080p25 camera (the RTSP test server on loopback). Each round
# runs 5 MJPEG clients for 6 s at one of six sizes (7 x 5 up to full size),
# three single pictures of random size, and every fifth round one picture of
# 4096 x 4096. Memory that keeps growing round after round is a leak; one
# that settles is the working set. Prints the resident size after each round.
# usage: bench/web_memory.sh BUILD_DIR [ROUNDS]
set -e
build=$(cd "${1:?usage: web_memory.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-40}
. "$(dirname "$0")/web_common.sh"

rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

start_rtsp_camera
start_kestrel kestrel "$camera_url"
base="http://127.0.0.1:$kestrel_port"

sizes=("w=640&h=360" "w=320&h=180" "w=1280&h=720" "w=100&h=100" "w=7&h=5" "w=1920&h=1080&q=90")
echo "start rss $(rss_kib "$kestrel_pid") KiB"
for round in $(seq 1 "$rounds"); do
    "$build/bench/mjpeg_bench" "$kestrel_port" "/preview.mjpeg?${sizes[$((round % 6))]}" 5 6 "$kestrel_pid" bench:bench >/dev/null &
    clients=$!
    for _ in 1 2 3; do
        curl -s -u bench:bench -o /dev/null "$base/preview.jpg?w=$((RANDOM % 2000 + 1))&h=$((RANDOM % 2000 + 1))"
    done
    big=
    if [ $((round % 5)) = 0 ]; then
        big=$(curl -s -u bench:bench -o /dev/null -w ' (4096 x 4096: %{http_code})' "$base/preview.jpg?w=4096&h=4096&q=50")
    fi
    wait "$clients"
    echo "round $round rss $(rss_kib "$kestrel_pid") KiB$big"
done
