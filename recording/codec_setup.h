// Internal to recording: fills in what a stream's description
// lacks before a file can be begun. The camera layer starts a stream without
// probing it (to show the first picture fast), so an RTSP camera's stream
// comes with its parameter sets from the session description but without a
// picture size, and some cameras send the parameter sets only in the
// stream. Both are in every key frame. Runs on a recorder's writer thread.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

// Completes the extradata and the picture size of parameters from key (a
// key frame of that stream); true when the picture size is then known.
bool complete_codec_parameters(AVCodecParameters* parameters, const AVPacket* key);
