#!/bin/bash
# Remakes the stream fuzzer's seed corpus (tests/fuzz/stream_corpus) from
# tiny videos that ffmpeg encodes here: H.264 with its set-up in the header
# (as an RTSP camera describes it) and in the stream only, with B-frames and
# a dropped connection, H.265 and Motion JPEG. Argument: a build folder with
# the stream_seed tool (the fuzz build).
set -euo pipefail
cd "$(dirname "$0")/../.."
seed=${1:-build-fuzz}/tests/fuzz/stream_seed
out=tests/fuzz/stream_corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

encode() {  # name, then ffmpeg's output options and file
    local name=$1
    shift
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 12 "$@"
}

encode h264 -c:v libx264 -g 4 -bf 2 -pix_fmt yuv420p "$work/h264.mp4"
encode annexb -c:v libx264 -g 5 -bf 0 -pix_fmt yuv420p -bsf:v h264_mp4toannexb "$work/annexb.h264"
encode hevc -c:v libx265 -x265-params log-level=none -g 4 -pix_fmt yuv420p "$work/hevc.mp4"
encode mjpeg -c:v mjpeg -q:v 10 -pix_fmt yuvj420p "$work/mjpeg.avi"

"$seed" "$work/h264.mp4" "$out/h264_b_frames" 12
"$seed" "$work/annexb.h264" "$out/h264_in_band_drop" 12 6
"$seed" "$work/hevc.mp4" "$out/hevc" 8
"$seed" "$work/mjpeg.avi" "$out/mjpeg" 4
ls -l "$out"
