#!/bin/bash
# Metrics benchmark: the CPU cost of "/metrics" to kestrel in daemon mode
# recording the RTSP test camera (1920x1080@25). kestrel's CPU time is taken
# over SECONDS without scrapes, then over SECONDS of scrapes once a second
# (as Prometheus does), then over COUNT scrapes in a row on one keep-alive
# connection, which gives the cost of one scrape; all beside the budget of
# 0.2 % of a core for one scrape a second.
# usage: bench/metrics_scrape.sh BUILD_DIR [SECONDS] [COUNT]
set -e
build=$(cd "${1:?usage: metrics_scrape.sh BUILD_DIR [SECONDS] [COUNT]}" && pwd)
seconds=${2:-30}
count=${3:-2000}
. "$(dirname "$0")/web_common.sh"

ticks_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ms_of() { echo "$1 $2 $(getconf CLK_TCK)" | awk '{printf "%.1f", ($2 - $1) * 1000 / $3}'; }

start_rtsp_camera
start_kestrel metrics "$camera_url" rec_active=true "rec_path=$work/metrics/rec/" main_interval=100
mkdir -p "$work/metrics/rec"
url="http://127.0.0.1:$kestrel_port/metrics"
sleep 7  # the picture start_kestrel asked for keeps it decoding a few seconds

t0=$(ticks_of "$kestrel_pid"); sleep "$seconds"; t1=$(ticks_of "$kestrel_pid")
for _ in $(seq "$seconds"); do curl -sf -u bench:bench -o /dev/null "$url"; sleep 1; done
t2=$(ticks_of "$kestrel_pid")
idle=$(ms_of "$t0" "$t1"); scraped=$(ms_of "$t1" "$t2")
echo "kestrel recording, ${seconds} s without scrapes   cpu ${idle} ms"
echo "kestrel recording, ${seconds} s with one scrape a second   cpu ${scraped} ms"

# COUNT scrapes on one connection: the per-scrape cost without the noise
# of the recording around it.
urls=$(for _ in $(seq "$count"); do printf '%s ' "$url"; done)
t3=$(ticks_of "$kestrel_pid"); start=$(date +%s.%N)
# shellcheck disable=SC2086
curl -sf -u bench:bench $urls >/dev/null
t4=$(ticks_of "$kestrel_pid"); end=$(date +%s.%N)
report() {  # label, ticks before, after, scrapes, wall start, end
    echo "$2 $3 $(getconf CLK_TCK) $4 $5 $6 $idle $seconds" | awk -v label="$1" '{
        wall = $6 - $5
        busy_ms = ($2 - $1) * 1000 / $3 - $7 / $8 * wall   # less what recording costs meanwhile
        per = busy_ms / $4
        printf "%d scrapes, %s: %.3f ms of CPU each = %.4f %% of a core at one a second (budget 0.2 %%)\n", $4, label, per, per / 10
    }'
}
report "one keep-alive connection" "$t3" "$t4" "$count" "$start" "$end"
# As Prometheus without keep-alive: a connection (and its log lines) per scrape.
fresh=$((count / 4))
t5=$(ticks_of "$kestrel_pid"); start=$(date +%s.%N)
for _ in $(seq "$fresh"); do curl -sf -u bench:bench -o /dev/null "$url"; done
t6=$(ticks_of "$kestrel_pid"); end=$(date +%s.%N)
report "a new connection each" "$t5" "$t6" "$fresh" "$start" "$end"
curl -sf -u bench:bench "$url" | wc -c | awk '{print "metrics body: " $1 " bytes"}'
