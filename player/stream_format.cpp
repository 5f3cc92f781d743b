// Writing and checking the stream header and data blocks. Everything is
// little-endian with explicit byte order, so the format does not depend on
// the compiler's struct layout.
#include "player/stream_format.h"

#include <cstring>

#include "player/little_endian.h"

namespace {

constexpr uint8_t header_magic[4] = {'k', 's', 't', 'h'};
constexpr uint8_t packet_magic[4] = {'k', 's', 't', 'p'};
constexpr uint16_t header_version = 1;

bool plausible(const stream_header_t& h)
{
    return h.codec_id != 0 && h.width >= 0 && h.height >= 0 && h.width <= stream_max_dimension &&
           h.height <= stream_max_dimension && h.time_base_num > 0 && h.time_base_den > 0 &&
           h.frame_rate_num >= 0 && h.frame_rate_den >= 0;
}

}  // namespace

std::vector<uint8_t> write_stream_header(const stream_header_t& h)
{
    const uint32_t extra = uint32_t(h.extradata.size());
    std::vector<uint8_t> out(stream_header_fixed_size + extra);
    uint8_t* p = out.data();
    std::memcpy(p, header_magic, 4);
    put_u16(p + 4, header_version);
    put_u16(p + 6, uint16_t(stream_header_fixed_size));
    put_u32(p + 8, h.codec_id);
    put_u32(p + 12, uint32_t(h.width));
    put_u32(p + 16, uint32_t(h.height));
    put_u32(p + 20, uint32_t(h.time_base_num));
    put_u32(p + 24, uint32_t(h.time_base_den));
    put_u32(p + 28, uint32_t(h.frame_rate_num));
    put_u32(p + 32, uint32_t(h.frame_rate_den));
    put_u32(p + 36, extra);
    if (extra)
        std::memcpy(p + stream_header_fixed_size, h.extradata.data(), extra);
    return out;
}

bool read_stream_header(const uint8_t* p, uint32_t length, stream_header_t* h)
{
    if (!p || length < stream_header_fixed_size || std::memcmp(p, header_magic, 4) != 0 ||
        get_u16(p + 4) != header_version)
        return false;
    // A later writer may grow the fixed part; the extradata follows it.
    const uint32_t fixed = get_u16(p + 6);
    if (fixed < stream_header_fixed_size || fixed > length)
        return false;
    const uint32_t extra = get_u32(p + 36);
    if (extra > stream_max_extradata || extra != length - fixed)
        return false;

    stream_header_t r;
    r.codec_id = get_u32(p + 8);
    r.width = int32_t(get_u32(p + 12));
    r.height = int32_t(get_u32(p + 16));
    r.time_base_num = int32_t(get_u32(p + 20));
    r.time_base_den = int32_t(get_u32(p + 24));
    r.frame_rate_num = int32_t(get_u32(p + 28));
    r.frame_rate_den = int32_t(get_u32(p + 32));
    if (!plausible(r))
        return false;
    r.extradata.assign(p + fixed, p + fixed + extra);
    *h = std::move(r);
    return true;
}

void write_packet_header(uint8_t* out, int64_t pts, int64_t dts, uint32_t flags, uint32_t size)
{
    std::memcpy(out, packet_magic, 4);
    put_u32(out + 4, flags);
    put_u64(out + 8, uint64_t(pts));
    put_u64(out + 16, uint64_t(dts));
    put_u32(out + 24, size);
}

bool read_packet(const uint8_t* p, uint32_t length, stream_packet_t* packet)
{
    if (!p || length <= stream_packet_header_size || std::memcmp(p, packet_magic, 4) != 0)
        return false;
    const uint32_t size = get_u32(p + 24);
    if (size != length - stream_packet_header_size || size > stream_max_packet)
        return false;
    packet->flags = get_u32(p + 4);
    packet->pts = int64_t(get_u64(p + 8));
    packet->dts = int64_t(get_u64(p + 16));
    packet->payload = p + stream_packet_header_size;
    packet->size = size;
    return true;
}
