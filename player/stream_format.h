// The bytes the camera SDK layer hands to the stream callback and the player
// reads back: a stream header (codec, extradata, sizes, time base) and stream
// data blocks, each one packet behind a small packet header. Pure functions,
// callable from any thread; no FFmpeg type appears here.
#pragma once

#include <cstdint>
#include <vector>

// What a decoder needs to open a stream.
struct stream_header_t {
    uint32_t codec_id = 0;            // libavcodec's codec id
    int32_t width = 0;                // picture size, 0 when only the decoder will know
    int32_t height = 0;
    int32_t time_base_num = 1;        // unit of the packets' pts and dts
    int32_t time_base_den = 90000;
    int32_t frame_rate_num = 0;       // nominal frame rate, 0/0 when unknown
    int32_t frame_rate_den = 0;
    std::vector<uint8_t> extradata;   // codec set-up bytes (H.264: SPS and PPS)
};

// Limits a reader enforces; a writer never exceeds them.
constexpr uint32_t stream_max_extradata = 1 << 20;
constexpr int32_t stream_max_dimension = 16384;
constexpr uint32_t stream_max_packet = 64u << 20;

// Fixed part of the stream header; extradata follows it.
constexpr uint32_t stream_header_fixed_size = 40;
// Packet header in front of every data block's payload.
constexpr uint32_t stream_packet_header_size = 28;

constexpr int64_t stream_no_timestamp = INT64_MIN;
constexpr uint32_t stream_packet_key = 1;  // the packet starts a key frame

// One packet inside a data block; payload points into the block.
struct stream_packet_t {
    int64_t pts = stream_no_timestamp;  // in the header's time base
    int64_t dts = stream_no_timestamp;
    uint32_t flags = 0;                 // stream_packet_* bits
    const uint8_t* payload = nullptr;
    uint32_t size = 0;
};

std::vector<uint8_t> write_stream_header(const stream_header_t& header);
// False for anything that is not a complete, plausible header.
bool read_stream_header(const uint8_t* bytes, uint32_t length, stream_header_t* header);

// Writes the packet header into out (stream_packet_header_size bytes).
void write_packet_header(uint8_t* out, int64_t pts, int64_t dts, uint32_t flags, uint32_t size);
// False unless bytes hold exactly one packet header and its whole payload.
bool read_packet(const uint8_t* bytes, uint32_t length, stream_packet_t* packet);
