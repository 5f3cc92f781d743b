// The FFmpeg side of the stream folder's opaque handles: what a packet and a
// stream's description are. Included only by the .cpp files (and internal
// headers) of folders that work with FFmpeg anyway; the public headers
// (packet_fanout.h, packet_queue.h) name the handles without these types.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

// One packet of the camera's stream: a reference the sender keeps for the
// call; a subscriber that keeps the packet takes a reference of its own
// (av_packet_ref), never a copy of the bytes.
struct media_packet_t {
    const AVPacket* av;
};

// A connection's stream: its codec description and the time base of its
// packets' timestamps. Valid during the call.
struct media_info_t {
    const AVCodecParameters* parameters;
    AVRational time_base;
};
