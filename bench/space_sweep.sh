#!/bin/bash
# Free-space sweep benchmark: 10,000 recordings (4 KiB each) on a tmpfs of
# 48 MiB; see bench/space_sweep_bench.cpp. Needs root for the mount.
# usage: bench/space_sweep.sh BUILD_DIR [FILES]
set -e
build=${1:?usage: space_sweep.sh BUILD_DIR [FILES]}
files=${2:-10000}
folder=$(mktemp -d /tmp/space_sweep.XXXXXX)
mount -t tmpfs -o size=48m tmpfs "$folder"
trap 'umount "$folder"; rmdir "$folder"' EXIT
"$build/bench/space_sweep_bench" "$folder/" "$files"
