#!/bin/bash
# How fast the web server answers, for two kestrel executables side by side
# in one run (a baseline and this build), at main_interval 100 and 10, with
# the RTSP test camera at 1080p25 behind them:
# - wrk, 1 and 50 keep-alive connections: a 16 KiB file and a 404, requests
#   per second and p50/p99 latency;
# - preview.jpg at 640 x 360, each on a new connection (curl): p50/p99;
# - 500 connections opened at once, each with one request: time until all
#   are answered;
# - idle, without camera and client: the server's CPU time and thread
#   wake-ups (context switches) per second.
# Prints a Markdown table. The machine may be shared: both executables are
# measured in the same run, one after the other, for that reason.
# usage: bench/web_wait.sh BUILD_DIR BASELINE_KESTREL [SECONDS]
# Loopback only.
set -e
build=$(cd "${1:?usage: web_wait.sh BUILD_DIR BASELINE_KESTREL [SECONDS]}" && pwd)
baseline=${2:?usage: web_wait.sh BUILD_DIR BASELINE_KESTREL [SECONDS]}
seconds=${3:-10}
. "$(dirname "$0")/web_common.sh"

command -v wrk >/dev/null || { echo "wrk is missing (scripts/install-deps.sh)"; exit 1; }
auth="Authorization: Basic $(printf 'bench:bench' | base64)"

# p50 and p99 of the numbers on stdin, one a line.
percentiles() {
    sort -n | awk '{v[NR] = $1} END {printf "%s %s", v[int((NR + 1) * 0.5)], v[int(NR * 0.99 + 0.5)]}'
}

# wrk against the running kestrel: "requests/s p50 p99".
load() {  # connections target
    local out threads=$(( $1 < 2 ? 1 : 2 ))
    : >"$dir/kestrel.log"
    out=$(wrk -t"$threads" -c"$1" -d"${seconds}s" --latency -H "$auth" "http://127.0.0.1:$kestrel_port$2")
    awk '/Requests\/sec/ {r = $2} $1 == "50%" {a = $2} $1 == "99%" {b = $2} END {print r, a, b}' <<<"$out"
}

# preview.jpg at 640 x 360 on 40 new connections: "p50 p99" in ms.
preview_latency() {
    for _ in $(seq 40); do
        curl -s -u bench:bench -o /dev/null -w '%{time_total}\n' \
            "http://127.0.0.1:$kestrel_port/preview.jpg?w=640&h=360"
    done | awk '{printf "%.1f\n", $1 * 1000}' | percentiles
}

# 500 connections opened at once, each sending one request: seconds until
# the last answer is complete (at most 120).
burst() {
    python3 - "$kestrel_port" 500 "$auth" <<'PY'
import selectors, socket, sys, time
port, count, auth = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
request = ("GET /file16k.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n\r\n" % auth).encode()
selector = selectors.DefaultSelector()
start = time.monotonic()
received = {}
for n in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request)
    s.setblocking(False)
    selector.register(s, selectors.EVENT_READ, n)
    received[n] = b""
done = 0
while done < count and time.monotonic() - start < 120:
    for key, _ in selector.select(1):
        data = key.fileobj.recv(65536)
        bytes_ = received[key.data] = received[key.data] + data
        end = bytes_.find(b"\r\n\r\n")
        length = int(bytes_[:end].split(b"Content-Length: ")[1].split(b"\r\n")[0]) if end >= 0 else -1
        if not data or (end >= 0 and len(bytes_) >= end + 4 + length):
            selector.unregister(key.fileobj)
            key.fileobj.close()
            done += 1
print("%.2f s" % (time.monotonic() - start) if done == count else "%d of %d in 120 s" % (done, count))
PY
}

# Run time (ns) and context switches summed over the threads of a process.
thread_totals() {
    local ns=0 switches=0 task
    for task in /proc/"$1"/task/*; do
        ns=$(( ns + $(cut -d' ' -f1 "$task/schedstat") ))
        switches=$(( switches + $(awk '/^voluntary_ctxt_switches|^nonvoluntary_ctxt_switches/ {s += $2} END {print s}' "$task/status") ))
    done
    echo "$ns $switches"
}

# Without camera (a closed loopback port) and without clients: "CPU ms/s
# wake-ups/s" over the run time.
idle() {  # executable interval
    local dir=$work/idle-$2 port before after
    port=$(free_port)
    mkdir -p "$dir"
    cp "$1" "$dir/kestrel"
    printf '%s\r\n' daemon_mode=true demo=false ip=127.0.0.1 "port=$port" "main_interval=$2" \
        login=bench password=bench "root=$dir/" "ipc_ip=rtsp://127.0.0.1:1/none" >"$dir/kestrel.cfg"
    (cd "$dir" && exec ./kestrel >/dev/null 2>&1) &
    local pid=$!
    pids+=("$pid")
    wait_until grep -q "server activated" "$dir/kestrel.log"
    sleep 2
    before=$(thread_totals "$pid")
    sleep "$seconds"
    after=$(thread_totals "$pid")
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    awk -v b="$before" -v a="$after" -v s="$seconds" 'BEGIN {
        split(b, x, " "); split(a, y, " ")
        printf "%.2f %.1f", (y[1] - x[1]) / 1e6 / s, (y[2] - x[2]) / s }'
}

measure() {  # name executable interval
    local row
    kestrel_exe=$2 start_kestrel "$1-$3" "$camera_url" "main_interval=$3"
    dir=$work/$1-$3
    head -c 16384 /dev/urandom >"$dir/file16k.bin"
    row="| $1 | $3"
    for connections in 1 50; do
        for target in /file16k.bin /missing.htm; do
            read -r rps p50 p99 < <(load "$connections" "$target")
            row+=" | $rps $p50 $p99"
        done
    done
    row+=" | $(preview_latency) | $(burst)"
    kill "$kestrel_pid"
    wait "$kestrel_pid" 2>/dev/null || true
    echo "$row | $(idle "$2" "$3") |"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
start_rtsp_camera
echo "| kestrel | main_interval | file, 1 conn: req/s p50 p99 | 404, 1 conn | file, 50 conns | 404, 50 conns | preview.jpg 640x360, new conn: p50 p99 (ms) | 500 conns answered in | idle: CPU ms/s, wake-ups/s |"
echo "|---|---|---|---|---|---|---|---|---|"
for interval in 100 10; do
    measure baseline "$baseline" "$interval"
    measure build "$build/kestrel" "$interval"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
