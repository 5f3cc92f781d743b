#!/bin/bash
# Recording benchmark: CPU time of recording 1920x1080@25 from the RTSP test
# server (loopback, TCP) through the camera layer, beside ffmpeg copying the
# same stream into a fragmented MP4 in the same run; then what each file holds.
# usage: bench/recording.sh BUILD_DIR [SECONDS]
set -e
build=${1:?usage: recording.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
folder=$(mktemp -d /tmp/recording_bench.XXXXXX)
trap 'rm -rf "$folder"' EXIT

"$build/bench/recording_bench" "$seconds" "$folder"
for f in "$folder"/*.mp4; do
    frames=$(ffprobe -v error -count_packets -select_streams v:0 \
        -show_entries stream=nb_read_packets -of csv=p=0 "$f")
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f")
    errors=$(ffmpeg -nostdin -v error -i "$f" -f null - 2>&1 | wc -l)
    echo "$(basename "$f"): $frames frames, $length s, $errors lines from a full decode"
done
