#!/bin/bash
# Soak benchmark: kestrel in daemon mode for MINUTES on the RTSP test camera
# (1280 x 720, 25 pictures a second, a key frame a second), recording with a
# new file every minute and deletion after five, under web load that keeps
# changing (bench/soak_load.py: 50 s of load, then 10 s of quiet). Every two
# minutes the camera is killed and restarted; once, in the seventh minute, it
# is frozen (SIGSTOP) for longer than the connect time. Every 10 s it samples
# kestrel's resident memory, descriptors, threads and CPU. At the end it
# decodes every recording (each is hard-linked when it appears, so the
# deletion after five minutes does not hide it), checks that consecutive
# recordings leave no gap except around the camera's outages, counts error
# lines in the log, and prints one summary table. Loopback only.
# usage: bench/soak.sh BUILD_DIR [MINUTES]
set -euo pipefail
build=$(cd "${1:?usage: soak.sh BUILD_DIR [MINUTES]}" && pwd)
minutes=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_common.sh"

connect_ms=2000
recon_ms=10000
dir=$work/kestrel
keep=$work/keep
mkdir -p "$dir" "$keep"
cp "$build/kestrel" "$dir/"
cp -r "$build/root" "$dir/root"
mkdir -p "$dir/root/img" "$dir/root/rec"
log=$dir/kestrel.log
samples=$work/samples
events=$work/events
: >"$samples"
: >"$events"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\\n\", $* }"; }
is() { awk "BEGIN { exit !($*) }"; }
elapsed() { calc "$(now) - $t0"; }

# The camera is restarted by a background job: its pid lives in a file, so
# that the last one is ended with the rest.
cam_port=$(free_port)
trap 'kill "$(cat "$work/cam.pid" 2>/dev/null)" 2>/dev/null; finish' EXIT
start_camera() {
    "$build/tools/rtsp_test_server" --port "$cam_port" --path /ch1/main=1280x720@25 \
        --key-interval 1 --bitrate 2000 >"$work/rtsp.out" 2>&1 &
    cam_pid=$!
    echo "$cam_pid" >"$work/cam.pid"
    wait_until grep -q ready "$work/rtsp.out" || { echo "the RTSP test server did not start"; exit 1; }
}

port=$(free_port)
base="http://127.0.0.1:$port"
printf '%s\r\n' daemon_mode=true demo=false ip=127.0.0.1 "port=$port" main_interval=100 \
    frame_delay=100 login=bench password=bench "root=$dir/root/" "img_path=$dir/root/img/" \
    "rec_path=$dir/root/rec/" rec_active=true rec_add_interval=0.0166666667 \
    rec_remove_interval=0.0833333333 "con_wait_time=$connect_ms" "recon_interval=$recon_ms" \
    "ipc_ip=rtsp://127.0.0.1:$cam_port/ch1/main" >"$dir/kestrel.cfg"

start_camera
(cd "$dir" && exec ./kestrel >/dev/null 2>&1) &
kestrel_pid=$!
pids+=("$kestrel_pid")
# The served picture's digest, or "none" when none is served.
picture() {
    local f=$work/picture.jpg
    [ "$(curl -s -u bench:bench -o "$f" -w '%{http_code}' "$base/preview.jpg?w=64&h=36")" = 200 ] &&
        md5sum <"$f" | cut -c1-32 || echo none
}
wait_until curl -sf -u bench:bench -o /dev/null "$base/preview.jpg?w=8&h=8" ||
    { echo "kestrel shows no picture"; exit 1; }
t0=$(now)
end=$(calc "$t0 + $minutes * 60")

# Each recording is hard-linked as soon as it appears.
keep_recordings() {
    while :; do
        for f in "$dir"/root/rec/*.mp4; do
            [ -e "$f" ] && [ ! -e "$keep/$(basename "$f")" ] && ln "$f" "$keep/" 2>/dev/null
        done
        sleep 2
    done
}
keep_recordings &
pids+=($!)

# t rss_kib fds threads cpu_ticks phase
sample() {
    local stat
    stat=$(cut -d' ' -f14,15 "/proc/$kestrel_pid/stat")
    echo "$(elapsed) $(awk '/VmRSS/ {print $2}' "/proc/$kestrel_pid/status")" \
        "$(ls "/proc/$kestrel_pid/fd" | wc -l) $(awk '/Threads/ {print $2}' "/proc/$kestrel_pid/status")" \
        "$((${stat% *} + ${stat#* })) $1" >>"$samples"
}
sampler() {
    while :; do sample load; sleep 10; done
}
sampler &
pids+=($!)

# Seconds until a picture other than the one before the outage is served.
time_to_new_picture() {
    local before=$1 from=$2
    while is "$(now) < $from + 60"; do
        local p
        p=$(picture)
        [ "$p" != "$before" ] && [ "$p" != none ] && { calc "$(now) - $from"; return; }
        sleep 0.1
    done
    echo fail
}

# event kind, outage start, outage end (picture back), seconds to picture
camera_events() {
    local next=120 froze=0
    while is "$(now) + 30 < $end"; do
        local at
        at=$(elapsed)
        if [ "$froze" = 0 ] && is "$at >= 390"; then
            froze=1
            local before start
            start=$(elapsed)
            kill -STOP "$cam_pid"
            sleep $((connect_ms / 1000 + 6))
            before=$(picture)
            kill -CONT "$cam_pid"
            local from; from=$(now)
            local took; took=$(time_to_new_picture "$before" "$from")
            echo "freeze $start $(elapsed) $took" >>"$events"
        elif is "$at >= $next"; then
            next=$((next + 120))
            local before start
            start=$(elapsed)
            kill -KILL "$cam_pid"
            sleep 3
            before=$(picture)
            start_camera
            local from; from=$(now)
            local took; took=$(time_to_new_picture "$before" "$from")
            echo "restart $start $(elapsed) $took" >>"$events"
        fi
        sleep 1
    done
}
camera_events &
events_pid=$!
pids+=("$events_pid")

loads=$work/loads
: >"$loads"
while is "$(now) + 60 < $end"; do
    python3 "$here/soak_load.py" "$port" bench:bench 50 "$dir/root/rec/" >>"$loads"
    sleep 10
    sample quiet
done
wait "$events_pid" 2>/dev/null || true
sample end

# The orderly close ends the recording being written.
kill -TERM "$kestrel_pid"
for _ in $(seq 100); do kill -0 "$kestrel_pid" 2>/dev/null || break; sleep 0.1; done
sleep 2
for f in "$dir"/root/rec/*.mp4; do [ -e "$f" ] && [ ! -e "$keep/$(basename "$f")" ] && ln "$f" "$keep/"; done

# Recordings: each decoded whole, and its media duration.
: >"$work/recordings"
bad=0
for f in "$keep"/*.mp4; do
    errors=$(ffmpeg -v error -threads 1 -i "$f" -f null - 2>&1 | head -c 300)
    [ -n "$errors" ] && { bad=$((bad + 1)); echo "decode error in $(basename "$f"): $errors"; }
    d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
    echo "$(basename "$f")|${d:-0}" >>"$work/recordings"
done

python3 - "$samples" "$events" "$work/recordings" "$log" "$loads" "$bad" "$recon_ms" "$t0" <<'EOF'
import datetime, re, statistics, sys
samples_path, events_path, recs_path, log_path, loads_path, bad, recon_ms, t0 = sys.argv[1:]
bad, recon_s, t0 = int(bad), int(recon_ms) / 1000, float(t0)
samples = [l.split() for l in open(samples_path) if l.strip()]
rows = []
def row(what, value, goal, ok):
    rows.append((what, value, goal, "yes" if ok else "NO"))

# Memory under load follows the load (buffers of the clients of the
# moment); memory when the load pauses shows what stays.
def memory_row(what, rss):
    if rss:
        mid = statistics.median(rss)
        spread = max(abs(x - mid) / mid for x in rss) * 100
        row(what, "%.0f-%.0f MiB, %.1f %% from median" % (min(rss) / 1024, max(rss) / 1024, spread),
            "within 5 %", spread <= 5)
memory_row("resident memory after 5 min", [float(s[1]) for s in samples if float(s[0]) >= 300])
quiet = [s for s in samples if s[5] == "quiet"]
memory_row("resident memory when quiet, after 5 min", [float(s[1]) for s in quiet if float(s[0]) >= 300])
if quiet:
    fds = [int(s[2]) for s in quiet]
    threads = [int(s[3]) for s in quiet]
    row("descriptors when quiet", "%d-%d" % (min(fds), max(fds)), "back to %d" % fds[0], max(fds) - min(fds) <= 2)
    row("threads when quiet", "%d-%d" % (min(threads), max(threads)), "back to %d" % threads[0], max(threads) == min(threads))
ticks = [(float(s[0]), int(s[4])) for s in samples]
if len(ticks) > 1:
    cpu = (ticks[-1][1] - ticks[0][1]) / 100 / (ticks[-1][0] - ticks[0][0]) * 100
    row("CPU of kestrel, whole run", "%.1f %% of a core" % cpu, "-", True)

events = [l.split() for l in open(events_path) if l.strip()]
for kind in ("restart", "freeze"):
    mine = [e for e in events if e[0] == kind]
    if mine:
        took = [float(e[3]) for e in mine if e[3] != "fail"]
        ok = [t for t in took if t <= recon_s + 2]
        row("%s: new picture within %.0f s" % (kind, recon_s + 2),
            "%d of %d, slowest %s s" % (len(ok), len(mine), ("%.1f" % max(took)) if took else "-"),
            "all", len(ok) == len(mine))

outages = [(float(e[1]), float(e[2])) for e in events]
recs = []
for line in open(recs_path):
    name, duration = line.strip().rsplit("|", 1)
    try:
        start = datetime.datetime.strptime(name[:19], "%Y-%m-%d %H-%M-%S").replace(tzinfo=datetime.timezone.utc).timestamp() - t0
    except ValueError:
        continue
    recs.append((start, float(duration), name))
recs.sort()
row("recordings that fail to decode", "%d of %d" % (bad, len(recs)), "0", bad == 0)
gaps, gaps_with_outage = [], []
for (a, da, _), (b, _, _) in zip(recs, recs[1:]):
    down = sum(max(0.0, min(b, o1) - max(a, o0)) for o0, o1 in outages)
    gap = (b - a) - down - da
    (gaps_with_outage if down > 0 else gaps).append(gap)
if gaps:
    row("gap between files, camera up", "largest %.1f s over %d pairs" % (max(gaps), len(gaps)), "none (< 2 s, names have 1 s steps)", max(gaps) < 2)
if gaps_with_outage:
    row("gap between files, around outages", "largest %.1f s over %d pairs" % (max(gaps_with_outage), len(gaps_with_outage)), "-", True)

# Event lines only (data lines and header blocks hold what clients sent).
# Camera drops are expected at every outage, node errors whenever a client
# vanishes; the rest would be kestrel's own trouble.
event = re.compile(r"^\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\) (.*)$")
errors, node_errors, camera_lines = {}, 0, 0
for line in open(log_path, encoding="utf-8", errors="replace"):
    m = event.match(line.rstrip("\r\n"))
    if not m:
        continue
    text = m.group(1)
    if text.startswith("camera: stream dropped"):
        camera_lines += 1
    elif text.startswith("node ("):
        node_errors += "error detected" in text
    elif any(word in text.lower() for word in ("can not", "failed", "error")) and not text.startswith("camera:"):
        key = re.sub(r"\d+", "N", text)[:60]
        errors[key] = errors.get(key, 0) + 1
row("error lines in the log", "%d%s" % (sum(errors.values()), "".join("; %s x%d" % kv for kv in sorted(errors.items(), key=lambda kv: -kv[1])[:4])), "0", not errors)
row("client errors (node lines)", str(node_errors), "-", True)
row("camera drops logged", str(camera_lines), "-", True)

print()
print("| measure | value | goal | met |")
print("|---|---|---|---|")
for r in rows:
    print("| %s | %s | %s | %s |" % r)
print()
print("resident MiB when quiet:", " ".join("%.0f" % (float(s[1]) / 1024) for s in quiet))
print("load:", open(loads_path).read().strip().replace("\n", " / ")[:600])
EOF
