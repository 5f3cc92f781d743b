// The stream fuzzer's input, shared by the target and the seed maker: a
// camera stream as the stream callback hands it on, each piece framed by
// its length so that the fuzzer can grow and cut pieces freely.
//   u32 header length, the stream header's bytes,
//   then per data block: u8 control (bit 0: the connection drops and the
//   camera comes back before this block), u32 block length, the block.
// Lengths are little-endian and cut to what the input holds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

struct stream_fuzz_block_t {
    bool drop = false;
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
};

struct stream_fuzz_input_t {
    const uint8_t* header = nullptr;
    uint32_t header_length = 0;
    std::vector<stream_fuzz_block_t> blocks;
};

inline uint32_t stream_fuzz_u32(const uint8_t* at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

inline void stream_fuzz_put_u32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(uint8_t(value >> shift));
}

// Points into data; false when not even a header length is there.
inline bool split_stream_fuzz_input(const uint8_t* data, size_t size, stream_fuzz_input_t* input)
{
    if (size < 4)
        return false;
    size_t at = 4;
    input->header = data + at;
    input->header_length = uint32_t(std::min<size_t>(stream_fuzz_u32(data), size - at));
    at += input->header_length;
    while (size - at >= 5) {
        stream_fuzz_block_t block;
        block.drop = data[at] & 1;
        const uint32_t length = stream_fuzz_u32(data + at + 1);
        at += 5;
        block.bytes = data + at;
        block.length = uint32_t(std::min<size_t>(length, size - at));
        at += block.length;
        input->blocks.push_back(block);
    }
    return true;
}
