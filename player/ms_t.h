// ms_t: a byte sink over one fixed buffer, handed to FreeImage as the I/O of
// a JPEG encode (write, seek, tell; nothing is read back). Owned by whoever
// creates it (snapshot_stream is the process-wide one); used by one thread
// at a time. A write never passes the end of the buffer.
#pragma once

#include <cstdint>

class ms_t {
public:
    // A buffer of capacity bytes; none (capacity 0) when it cannot be had.
    explicit ms_t(int32_t capacity);
    virtual ~ms_t();
    ms_t(const ms_t&) = delete;
    ms_t& operator=(const ms_t&) = delete;

    void reset();
    // Copies size * count bytes to position and returns count. Bytes that
    // would not fit between position and capacity are dropped, with every
    // later write, and `refused` is set: the owner then discards the content.
    // The write still reports success, because an encoder stopped half-way
    // leaks what it holds (FreeImage's JPEG writer does).
    uint32_t write(const void* bytes, uint32_t size, uint32_t count);
    // Origin 0 from the start, 1 from position, 2 from length; 0 on success,
    // 1 (nothing changed) for any other origin.
    int32_t seek(int64_t offset, int32_t origin);
    int64_t tell() const { return position; }

    uint8_t* data = nullptr;  // the buffer, owned
    int32_t capacity = 0;     // size of data in bytes
    int32_t position = 0;     // where the next write goes, offset from data
    int32_t length = 0;       // end of the bytes written since the last reset
    bool refused = false;     // a write since the last reset did not fit: the content is incomplete
};
