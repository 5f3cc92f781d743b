#!/bin/bash
# Metrics benchmark: the CPU cost of "/metrics" to kestrel in daemon mode
# recording the RTSP test camera (1920x1080@25). kestrel's CPU time (the
# scheduler's per-thread accounts) is taken over SECONDS without scrapes and
# SECONDS of scrapes once a second (as Prometheus does), three times in
# turn; then over COUNT scrapes in a row on one keep-alive connection and
# COUNT/4 on a new connection each, which give the cost of one scrape; all
# beside the budget of 0.2 % of a core for one scrape a second.
# usage: bench/metrics_scrape.sh BUILD_DIR [SECONDS] [COUNT]
set -e
build=$(cd "${1:?usage: metrics_scrape.sh BUILD_DIR [SECONDS] [COUNT]}" && pwd)
seconds=${2:-30}
count=${3:-2000}
. "$(dirname "$0")/web_common.sh"

# Nanoseconds on a CPU of all the process's threads, from the scheduler's
# own accounts (/proc/*/stat counts whole clock ticks by sampling, too
# coarse for a millisecond a second).
ticks_of() { cat /proc/"$1"/task/*/schedstat | awk '{ns += $1} END {printf "%.0f", ns}'; }
ms_of() { echo "$1 $2" | awk '{printf "%.1f", ($2 - $1) / 1e6}'; }

start_rtsp_camera
start_kestrel metrics "$camera_url" rec_active=true "rec_path=$work/metrics/rec/" main_interval=100
mkdir -p "$work/metrics/rec"
url="http://127.0.0.1:$kestrel_port/metrics"
sleep 7  # the picture start_kestrel asked for keeps it decoding a few seconds

# Rounds of SECONDS without scrapes and SECONDS with one a second, in turn,
# so that the machine's other load falls on both alike.
idle_total=0; scraped_total=0
for round in 1 2 3; do
    t0=$(ticks_of "$kestrel_pid"); sleep "$seconds"; t1=$(ticks_of "$kestrel_pid")
    for _ in $(seq "$seconds"); do curl -sf -u bench:bench -o /dev/null "$url"; sleep 1; done
    t2=$(ticks_of "$kestrel_pid")
    echo "round $round: ${seconds} s without scrapes $(ms_of "$t0" "$t1") ms of CPU, with one a second $(ms_of "$t1" "$t2") ms"
    idle_total=$((idle_total + t1 - t0)); scraped_total=$((scraped_total + t2 - t1))
done
echo "$idle_total $scraped_total $seconds" | awk '{
    printf "one scrape a second costs %.2f ms of CPU a second = %.3f %% of a core (budget 0.2 %%)\n",
        ($2 - $1) / 1e6 / (3 * $3), ($2 - $1) / 1e6 / (3 * $3) / 10 }'
idle=$(ms_of 0 "$((idle_total / 3))")

# COUNT scrapes on one connection: the per-scrape cost without the noise
# of the recording around it.
urls=$(for _ in $(seq "$count"); do printf '%s ' "$url"; done)
t3=$(ticks_of "$kestrel_pid"); start=$(date +%s.%N)
# shellcheck disable=SC2086
curl -sf -u bench:bench $urls >/dev/null
t4=$(ticks_of "$kestrel_pid"); end=$(date +%s.%N)
report() {  # label, ticks before, after, scrapes, wall start, end
    echo "$2 $3 1000000 $4 $5 $6 $idle $seconds" | awk -v label="$1" '{
        wall = $6 - $5
        busy_ms = ($2 - $1) / $3 - $7 / $8 * wall   # less what recording costs meanwhile
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
