#!/bin/bash
# ONVIF benchmark: a plain camera address (the ONVIF questions, then the
# stream) to the first picture, beside the whole stream URL typed, on
# loopback against the tests' ONVIF camera and the RTSP test server. The
# ONVIF questions should add at most 200 ms.
# usage: bench/onvif_first_picture.sh BUILD_DIR [ROUNDS]
set -e
build=${1:?usage: onvif_first_picture.sh BUILD_DIR [ROUNDS]}
"$build/bench/onvif_bench" "${2:-20}"
