#!/bin/bash
# File download benchmark: one 200 MB file fetched alone and by 10 clients
# at once over loopback, from kestrel (its default 1 MiB send buffer, the
# file going out through it in pieces) and from nginx (Debian's package, one
# worker, started here on a free loopback port with its own configuration,
# serving the same folder) in the same run. Prints MB/s, the server's CPU
# time per MB, and the longest answer of a small file that another client
# asked for every 50 ms meanwhile.
# usage: bench/file_download.sh BUILD_DIR [MEGABYTES]
set -e
build=$(cd "${1:?usage: file_download.sh BUILD_DIR [MEGABYTES]}" && pwd)
megabytes=${2:-200}
. "$(dirname "$0")/web_common.sh"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/install-deps.sh)"; exit 1; }

# CPU time of a process and its children threads, in clock ticks.
cpu_ticks() {
    local total=0 pid
    for pid in "$@"; do
        total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    done
    echo "$total"
}

# A small file fetched every 50 ms on fresh connections while the download
# runs; writes the longest time to $1.
probe() {
    local out=$1 url=$2 auth=$3 longest=0 t
    while [ ! -e "$work/stop_probe" ]; do
        t=$(curl -s $auth -o /dev/null -w '%{time_total}' "$url") || t=99
        longest=$(echo "$t $longest" | awk '{print ($1 > $2) ? $1 : $2}')
        sleep 0.05
    done
    echo "$longest" >"$out"
}

# measure NAME BASE_URL AUTH CLIENTS PID...: one round of CLIENTS parallel
# downloads; prints the figures.
measure() {
    local name=$1 base=$2 auth=$3 clients=$4
    shift 4
    rm -f "$work/stop_probe"
    probe "$work/probe.$name" "$base/small.txt" "$auth" &
    local prober=$!
    local before start i downloads=()
    before=$(cpu_ticks "$@")
    start=$(date +%s.%N)
    # To /dev/null: a disk would measure itself; the byte count is checked.
    for i in $(seq "$clients"); do
        curl -s $auth -o /dev/null -w '%{size_download}' "$base/big.bin" >"$work/got.$i" &
        downloads+=($!)
    done
    wait "${downloads[@]}"
    local seconds ticks
    seconds=$(echo "$(date +%s.%N) $start" | awk '{print $1 - $2}')
    ticks=$(( $(cpu_ticks "$@") - before ))
    touch "$work/stop_probe"
    wait "$prober"
    for i in $(seq "$clients"); do
        [ "$(cat "$work/got.$i")" = $((megabytes * 1000000)) ] || echo "  $name client $i: short download"
    done
    awk -v n="$name" -v c="$clients" -v mb="$megabytes" -v s="$seconds" -v t="$ticks" \
        -v hz="$(getconf CLK_TCK)" -v p="$(cat "$work/probe.$name")" 'BEGIN {
        printf "  %-8s %2d client(s): %8.1f MB/s  %6.2f ms CPU/MB  longest small answer %5.1f ms\n",
               n, c, c * mb / s, 1000 * t / hz / (c * mb), 1000 * p }'
}

start_kestrel kestrel test://160x120@5
folder=$work/kestrel
head -c $((megabytes * 1000000)) /dev/urandom >"$folder/big.bin"
echo small >"$folder/small.txt"

nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
user $(id -un) $(id -gn);
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $folder;
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
pids+=($!)
nginx_master=$!
wait_until curl -sf -o /dev/null "http://127.0.0.1:$nginx_port/small.txt" || { echo "nginx did not start:"; cat "$work/nginx/error.log"; exit 1; }
nginx_pids=("$nginx_master" $(pgrep -P "$nginx_master"))

curl -s -u bench:bench -o "$work/check.bin" "http://127.0.0.1:$kestrel_port/big.bin"
cmp -s "$work/check.bin" "$folder/big.bin" || echo "kestrel's copy of the file differs"
rm -f "$work/check.bin"

# The small file's longest answer with no download running, for scale.
idle_probe() {
    rm -f "$work/stop_probe"
    probe "$work/idle.$1" "$2/small.txt" "$3" &
    local prober=$!
    sleep 3
    touch "$work/stop_probe"
    wait "$prober"
    awk -v n="$1" -v p="$(cat "$work/idle.$1")" 'BEGIN { printf "  %-8s idle: longest small answer %5.1f ms\n", n, 1000 * p }'
}

echo "$megabytes MB file on loopback, $(nproc) cores (shared with other work: figures vary)"
idle_probe kestrel "http://127.0.0.1:$kestrel_port" "-u bench:bench"
idle_probe nginx "http://127.0.0.1:$nginx_port" ""
for clients in 1 10; do
    measure kestrel "http://127.0.0.1:$kestrel_port" "-u bench:bench" "$clients" "$kestrel_pid"
    measure nginx "http://127.0.0.1:$nginx_port" "" "$clients" "${nginx_pids[@]}"
done
