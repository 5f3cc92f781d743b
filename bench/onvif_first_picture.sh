#!/bin/bash
# ONVIF benchmark: a plain camera address (the ONVIF questions, then the
# stream) to the first picture, beside the whole stream URL typed, on
# loopback against the tests' ONVIF camera and the RTSP test server. The
# ONVIF questions should add at most 200 ms. A found ONVIF stream needs no
# separate RTSP login check (the camera checked the credentials), so the
# plain address may well be the faster one.
# usage: bench/onvif_first_picture.sh BUILD_DIR [ROUNDS]
set -e
build=${1:?usage: onvif_first_picture.sh BUILD_DIR [ROUNDS]}
# The camera layer's log lines (on standard output) are left out.
"$build/bench/onvif_bench" "${2:-20}" | grep -v ' (UTC) '

