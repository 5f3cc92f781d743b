#!/bin/sh
# Installs every Debian 12 package that kestrel's build, tests and benchmarks
# need. Idempotent; run as root (or through sudo) on a fresh machine.
set -e

packages="
build-essential cmake ninja-build pkg-config
qt6-base-dev
libfreeimage-dev
libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
libgtest-dev
libgstrtspserver-1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-libav
ffmpeg curl chromium
xvfb openbox xdotool x11-utils imagemagick xcompmgr
clang libclang-rt-14-dev
wrk
libsystemd-dev dpkg-dev lintian
motion nginx
prometheus
"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi

# motion and nginx are only peers of the benchmarks (bench/mjpeg.sh,
# bench/file_download.sh), which run their own instances, and prometheus
# gives the tests promtool; the services their packages enable (nginx's on
# port 80, kestrel's default; prometheus's on 9090) are not wanted.
for service in motion nginx prometheus; do
    if command -v systemctl >/dev/null 2>&1 && systemctl is-enabled "$service" >/dev/null 2>&1; then
        if [ "$(id -u)" -eq 0 ]; then systemctl disable --now "$service" >/dev/null 2>&1 || true
        else sudo systemctl disable --now "$service" >/dev/null 2>&1 || true; fi
    fi
done
