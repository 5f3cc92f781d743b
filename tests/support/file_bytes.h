// Test support: a whole file read or written as raw bytes. Header-only.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace kestrel_test {

// The file's bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Creates or empties the file and writes bytes; false when that failed.
inline bool write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace kestrel_test
