# Shared by the web benchmarks (sourced): a work folder and the processes
# started into it, both gone when the script exits; free loopback ports; the
# RTSP test camera; kestrel in daemon mode serving a camera over the web
# (user bench, password bench). Needs $build, the build folder.

pids=()
work=$(mktemp -d /tmp/web_bench.XXXXXX)

finish() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 30 s for a command to succeed.
wait_until() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    return 1
}

# Starts the RTSP test server with a 1080p25 camera; sets camera_url.
start_rtsp_camera() {
    "$build/tools/rtsp_test_server" --port 0 --path /ch1/main=1920x1080@25 --bitrate 4000 >"$work/rtsp.out" &
    pids+=($!)
    wait_until grep -q ready "$work/rtsp.out" || { echo "the RTSP test server did not start"; return 1; }
    camera_url="rtsp://127.0.0.1:$(awk '/ready/ {print $2}' "$work/rtsp.out")/ch1/main"
}

# Starts kestrel ($kestrel_exe, else the build's) in daemon mode in folder
# $work/$1, reading camera address $2, with main_interval 10 and frame_delay
# 40; further arguments are configuration lines that come first (the first
# occurrence of a key wins). Returns once it serves a picture. Sets
# kestrel_pid and kestrel_port.
start_kestrel() {
    local dir=$work/$1 camera=$2
    shift 2
    kestrel_port=$(free_port)
    mkdir -p "$dir"
    cp "${kestrel_exe:-$build/kestrel}" "$dir/kestrel"
    printf '%s\r\n' "$@" daemon_mode=true demo=false ip=127.0.0.1 "port=$kestrel_port" main_interval=10 \
        frame_delay=40 login=bench password=bench "root=$dir/" "ipc_ip=$camera" >"$dir/kestrel.cfg"
    (cd "$dir" && exec ./kestrel >/dev/null 2>&1) &
    kestrel_pid=$!
    pids+=("$kestrel_pid")
    wait_until curl -sf -u bench:bench -o /dev/null "http://127.0.0.1:$kestrel_port/preview.jpg?w=8&h=8" ||
        { echo "kestrel has no picture from $camera"; return 1; }
}
