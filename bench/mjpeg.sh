#!/bin/bash
# MJPEG benchmark: 0, 1, 5 and 20 clients of "preview.mjpeg" at 640 x 360,
# quality 50, from a 1080p25 camera, with frame_delay 40 and main_interval
# 10: parts per second per client, distinct pictures per second (encodes),
# and the server's CPU and resident memory (0 clients: the camera alone).
# Cameras: the synthetic camera (its in-process H.264 encoder counts as
# kestrel's CPU), and the RTSP test server on loopback, which motion (if
# installed) reads as well, serving the same clients at the same size,
# quality and rate.
# usage: bench/mjpeg.sh BUILD_DIR [SECONDS]
set -e
build=$(cd "${1:?usage: mjpeg.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-10}
bench=$build/bench/mjpeg_bench
. "$(dirname "$0")/web_common.sh"

clients() {  # port target pid [user:password]
    for n in 0 1 5 20; do
        "$bench" "$1" "$2" "$n" "$seconds" "$3" ${4:+"$4"}
    done
}

# kestrel in daemon mode in a folder of its own, reading camera address $2.
run_kestrel() {
    start_kestrel "$1" "$2" || return 1
    echo "== kestrel, camera $2"
    clients "$kestrel_port" "/preview.mjpeg?w=640&h=360&q=50" "$kestrel_pid" bench:bench
    kill "$kestrel_pid"
}

# motion reading RTSP URL $1 and streaming at 640 x 360, quality 50, 25/s.
run_motion() {
    local dir=$work/motion port
    if ! command -v motion >/dev/null; then
        echo "== motion is not installed (Debian package motion)"
        return 0
    fi
    port=$(free_port)
    mkdir -p "$dir"
    cat >"$dir/motion.conf" <<CONF
daemon off
setup_mode off
log_file $dir/motion.log
log_level 6
target_dir $dir
netcam_url $1
netcam_params rtsp_transport=tcp
width 640
height 360
framerate 25
picture_output off
movie_output off
webcontrol_port 0
stream_port $port
stream_localhost on
stream_quality 50
stream_maxrate 25
stream_auth_method 0
CONF
    motion -n -c "$dir/motion.conf" >/dev/null 2>&1 &
    local pid=$!
    pids+=("$pid")
    if ! wait_until curl -sf -m 1 -o /dev/null "http://127.0.0.1:$port/current"; then
        # The stream port answers only with a stream; a second is enough to see one.
        wait_until sh -c "curl -s -m 1 http://127.0.0.1:$port/ | head -c 100 | grep -q BoundaryString" ||
            { echo "== motion did not stream; its log:"; tail -20 "$dir/motion.log"; return 0; }
    fi
    echo "== motion 640x360, camera $1"
    clients "$port" "/" "$pid"
    kill "$pid"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run_kestrel synthetic "test://1920x1080@25"

start_rtsp_camera
run_kestrel rtsp "$camera_url"
run_motion "$camera_url"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
