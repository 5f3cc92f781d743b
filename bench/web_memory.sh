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
work=$(mktemp -d /tmp/web_memory.XXXXXX)
pids=()

finish() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_until() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}

rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

"$build/tools/rtsp_test_server" --port 0 --path /ch1/main=1920x1080@25 --bitrate 4000 >"$work/rtsp.out" &
pids+=($!)
wait_until grep -q ready "$work/rtsp.out"
url="rtsp://127.0.0.1:$(awk '/ready/ {print $2}' "$work/rtsp.out")/ch1/main"

port=$(free_port)
cp "$build/kestrel" "$work/"
printf '%s\r\n' daemon_mode=true demo=false ip=127.0.0.1 "port=$port" main_interval=10 \
    frame_delay=40 login=bench password=bench "root=$work/" "ipc_ip=$url" >"$work/kestrel.cfg"
(cd "$work" && exec ./kestrel >/dev/null 2>&1) &
pid=$!
pids+=("$pid")
base="http://127.0.0.1:$port"
wait_until curl -sf -u bench:bench -o /dev/null "$base/preview.jpg?w=8&h=8" ||
    { echo "kestrel has no picture from $url"; exit 1; }

sizes=("w=640&h=360" "w=320&h=180" "w=1280&h=720" "w=100&h=100" "w=7&h=5" "w=1920&h=1080&q=90")
echo "start rss $(rss_kib "$pid") KiB"
for round in $(seq 1 "$rounds"); do
    "$build/bench/mjpeg_bench" "$port" "/preview.mjpeg?${sizes[$((round % 6))]}" 5 6 "$pid" bench:bench >/dev/null &
    clients=$!
    for _ in 1 2 3; do
        curl -s -u bench:bench -o /dev/null "$base/preview.jpg?w=$((RANDOM % 2000 + 1))&h=$((RANDOM % 2000 + 1))"
    done
    big=
    if [ $((round % 5)) = 0 ]; then
        big=$(curl -s -u bench:bench -o /dev/null -w ' (4096 x 4096: %{http_code})' "$base/preview.jpg?w=4096&h=4096&q=50")
    fi
    wait "$clients"
    echo "round $round rss $(rss_kib "$pid") KiB$big"
done
