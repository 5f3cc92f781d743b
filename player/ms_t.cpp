// ms_t: the fixed-buffer byte sink of JPEG encodes.
#include "player/ms_t.h"

#include <algorithm>
#include <cstring>
#include <new>

ms_t::ms_t(int32_t size)
{
    if (size > 0)
        data = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    capacity = data ? size : 0;
}

ms_t::~ms_t() { delete[] data; }

void ms_t::reset()
{
    position = 0;
    length = 0;
    refused = false;
}

uint32_t ms_t::write(const void* bytes, uint32_t size, uint32_t count)
{
    const uint64_t n = static_cast<uint64_t>(size) * count;
    // Once a write was dropped, later bytes would land at wrong offsets.
    if (refused || position < 0 || n > static_cast<uint64_t>(capacity - position)) {
        refused = true;
        return count;
    }
    if (n > 0)
        std::memcpy(data + position, bytes, static_cast<size_t>(n));
    position += static_cast<int32_t>(n);
    // After a seek back, rewritten bytes do not count twice: the bytes
    // handed out are always the first `length` of data, all written.
    length = std::max(length, position);
    return count;
}

int32_t ms_t::seek(int64_t offset, int32_t origin)
{
    int64_t base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: base = position; break;
    case 2: base = length; break;
    default: return 1;
    }
    const int64_t target = base + offset;
    // Outside the buffer no write could succeed; refusing the seek keeps
    // position meaningful.
    if (target < 0 || target > capacity)
        return 1;
    position = static_cast<int32_t>(target);
    return 0;
}
