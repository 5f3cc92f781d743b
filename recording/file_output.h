// Internal to recording: the file a recording goes into, as the
// few calls the MP4 writer needs (one write per fragment, cut back after a
// failed write, push to the disk). A seam for tests, which put a failing disk
// behind it. Used by one thread at a time; the object owns its descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class file_output_t {
public:
    virtual ~file_output_t() = default;
    // Appends all bytes; 0 on success, else an errno value. A short write
    // may have left part of the bytes in the file (see cut_back).
    virtual int write_all(const uint8_t* bytes, size_t length) = 0;
    // Shortens the file to length bytes; 0 or an errno value.
    virtual int cut_back(uint64_t length) = 0;
    // Pushes the written data to the disk; 0 or an errno value.
    virtual int sync() = 0;
    // Deletes the file (a recording that never got a frame).
    virtual void discard() = 0;
    virtual const std::string& path() const = 0;
};

// Creates (or empties) the file at path; null with *error set when it can
// not be created. While the object lives, the retention sweep spares it.
std::unique_ptr<file_output_t> open_file_output(const std::string& path, int* error);
