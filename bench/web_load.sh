#!/bin/bash
# Load benchmark of kestrel's web server with wrk: a static 16 KiB file and a
# 404, at main_interval 100 and 1 ms, with 1 and 50 connections. Reports
# requests/s, latency percentiles, the server's CPU use and resident memory
# as a Markdown table (stdout and the file given as the second argument).
# Usage: bench/web_load.sh [build folder] [result file] [seconds per run]
# Loopback only: the server listens on 127.0.0.1 and wrk talks to it there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-$root/build}
result=${2:-$build/web_load.md}
seconds=${3:-10}

command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh)"; exit 1; }
[ -x "$build/kestrel" ] || { echo "no kestrel in $build"; exit 1; }

work=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp "$build/kestrel" "$work/kestrel"
mkdir -p "$work/root"
cp -r "$root/www/." "$work/root/"
head -c 16384 /dev/urandom > "$work/root/file16k.bin"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# CPU ticks (user + system) of a process.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

start_server() {
    local interval=$1
    port=$(free_port)
    printf 'daemon_mode=true\r\ndemo=true\r\nip=127.0.0.1\r\nport=%s\r\nmain_interval=%s\r\nlogin=bench\r\npassword=bench\r\nroot=%s/root/\r\n' \
        "$port" "$interval" "$work" > "$work/kestrel.cfg"
    QT_QPA_PLATFORM=offscreen "$work/kestrel" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        grep -q "server activated" "$work/kestrel.log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "kestrel did not start"; exit 1
}

stop_server() {
    kill -TERM "$pid"
    wait "$pid" || true
    pid=""
}

# The log records every request; it is emptied before each run so that its
# growth does not count into the next one.
auth="Authorization: Basic $(printf 'bench:bench' | base64)"
hz=$(getconf CLK_TCK)

{
    echo "| main_interval (ms) | connections | target | requests/s | p50 | p75 | p90 | p99 | errors | server CPU % | server RSS (KiB) |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
} > "$work/table.md"

for interval in 100 1; do
    start_server "$interval"
    for connections in 1 50; do
        threads=$(( connections < 2 ? 1 : 2 ))
        for target in /file16k.bin /missing.htm; do
            : > "$work/kestrel.log"
            before=$(cpu_ticks "$pid")
            out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency -H "$auth" \
                "http://127.0.0.1:$port$target")
            after=$(cpu_ticks "$pid")
            rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
            rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
            p() { awk -v q="$1%" '$1 == q {print $2}' <<<"$out"; }
            errors=$(awk '/Non-2xx or 3xx/ {n=$NF} /Socket errors/ {s=$0} END {print (s ? s : "none")}' <<<"$out")
            cpu=$(awk -v b="$before" -v a="$after" -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.1f", (a - b) / hz / s * 100}')
            echo "| $interval | $connections | $target | $rps | $(p 50) | $(p 75) | $(p 90) | $(p 99) | $errors | $cpu | $rss |" >> "$work/table.md"
        done
    done
    stop_server
done

cp "$work/table.md" "$result"
cat "$result"
echo "(404 answers count as non-2xx in wrk; the errors column shows socket errors only)"
