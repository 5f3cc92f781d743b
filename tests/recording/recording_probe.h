// Test support for the recording tests: what ffprobe and ffmpeg say about a
// recorded file and H.264 packets made on the spot; the shared temporary
// folder and file helpers.
// Used from the tests' main threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"
#include "tests/support/temp_folder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

// What a recording holds, from ffprobe and a full decode with ffmpeg.
struct probed_file_t {
    bool valid = false;             // ffprobe reads it and finds one H.264 stream
    int width = 0, height = 0;      // of that stream
    double duration_s = 0;          // sum of the packet durations
    std::vector<int64_t> dts;       // packet decoding times in the stream's time base
    bool first_frame_key = false;   // the first decoded frame is a key frame
    double first_pts_s = -1;        // its presentation time
    std::string decode_errors;      // what ffmpeg -v error printed while decoding all
};

probed_file_t probe_file(const std::string& path);
// The file holds a playable recording: valid, starts at 0 on a key frame,
// decodes without a single error, decoding times only grow.
::testing::AssertionResult plays_cleanly(const std::string& path);

using kestrel_test::temp_folder_t;

// A tmpfs of a given size mounted on a temporary folder, for a disk that
// fills; unmounted at the end. Needs root (or mount permission): where
// mounting fails, mounted() is false and why() says why.
class small_disk_t {
public:
    explicit small_disk_t(const std::string& size);
    ~small_disk_t();
    small_disk_t(const small_disk_t&) = delete;
    small_disk_t& operator=(const small_disk_t&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    std::string prefix() const { return folder.prefix(); }
    // Free bytes for a user, from statvfs.
    uint64_t free_bytes() const;
private:
    temp_folder_t folder;
    bool mounted_ = false;
    std::string why_;
};

// The names of the files in folder whose names end with suffix, sorted.
std::vector<std::string> files_in(const std::string& folder, const std::string& suffix);

// Packets of a small H.264 stream: a moving picture, a key frame every gop
// frames, time base 1/fps. Made at once, not paced. in_band: the parameter
// sets come only with the key frames, not in the extradata.
struct encoded_stream_t {
    encoded_stream_t(int width, int height, int fps, int gop, int frames, bool in_band = false);
    ~encoded_stream_t();
    encoded_stream_t(const encoded_stream_t&) = delete;
    encoded_stream_t& operator=(const encoded_stream_t&) = delete;

    AVCodecParameters* parameters = nullptr;  // the stream's set-up
    AVRational time_base{1, 25};              // of the packets
    std::vector<AVPacket*> packets;           // in decoding order
};
