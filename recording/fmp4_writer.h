// Internal to recording: writes a camera stream by stream copy
// into one fragmented MP4 file. A fragment holds one key-frame interval and
// reaches the file in one write, so a process killed at any moment leaves a
// file that ends on a whole fragment. For a live stream a fragment holds one
// frame instead and goes out as soon as its packet came. Used by one thread
// at a time (a recorder's writer thread, a live stream's web server
// thread); the writer owns its output.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "recording/file_output.h"

// What one fragment holds.
enum class fragment_mode_t {
    key_frame_interval,  // a file: fewer, larger fragments, each frame with its exact length
    frame,               // a live stream: no waiting; a frame's length is its predecessor's
};

class fmp4_writer_obj {
public:
    explicit fmp4_writer_obj(std::unique_ptr<file_output_t> output,
                             fragment_mode_t mode = fragment_mode_t::key_frame_interval);
    // Finishes the file if finish was not called.
    ~fmp4_writer_obj();
    fmp4_writer_obj(const fmp4_writer_obj&) = delete;
    fmp4_writer_obj& operator=(const fmp4_writer_obj&) = delete;

    // A connection's stream begins. False when the file was begun with other
    // stream parameters: it can not go on in this file.
    bool stream_started(const AVCodecParameters* parameters, AVRational time_base);
    // Writes one packet of the running stream; packets before the first key
    // frame of a connection are dropped. False once the file has failed.
    bool write(const AVPacket* packet);
    // The connection dropped: what was received is written out, and the
    // next connection continues the timeline where this one ended.
    bool stream_ended();
    // Ends the file (the index at its end) and closes it; a file that never
    // got a frame is deleted. False when the file failed at any point.
    bool finish();

    bool failed() const { return error_code != 0; }
    // Why it failed: an errno value, or a negative FFmpeg error.
    int error() const { return error_code; }
    const std::string& path() const { return file_path; }
    // Bytes in the file: the header and whole fragments.
    uint64_t bytes_written() const { return file_size; }

    // Whether two streams can share one file: same codec, picture size and
    // codec set-up (extradata).
    static bool same_stream(const AVCodecParameters* a, const AVCodecParameters* b);

private:
    static int collect(void* opaque, uint8_t* bytes, int length);
    bool begin_file(const AVPacket* key);
    static int64_t input_time(const AVPacket* packet);
    bool same_picture(const AVPacket* packet) const;
    bool append_to_held(const AVPacket* packet);
    bool holds_picture(const AVPacket* packet) const;
    int64_t file_time(int64_t input) const;
    int64_t place(const AVPacket* packet, int64_t* pts);
    int64_t frame_duration() const;
    bool write_held(int64_t duration);
    void learn_duration(int64_t dts);
    bool end_fragment();
    bool push_to_file();
    bool fail(int code);
    void close_mux();

    std::unique_ptr<file_output_t> output;  // the file; null after finish
    const fragment_mode_t mode;             // what one fragment holds
    const std::string file_path;            // for the log
    AVCodecParameters* file_parameters;     // the stream the file was begun with, as described
    AVRational input_time_base{1, 90000};   // of the current connection's packets
    AVFormatContext* mux = nullptr;         // the MP4 muxer, null until the first key frame
    AVIOContext* io = nullptr;              // the muxer's output into pending
    AVRational file_time_base{1, 90000};    // the file's track time base
    std::vector<uint8_t> pending;           // bytes of the fragment being formed
    uint64_t file_size = 0;                 // bytes in the file, all whole fragments
    AVPacket* held;                         // the newest packet, written when its duration is known
    bool holding = false;                   // held carries a packet
    int64_t held_input_time = 0;            // held's decoding time as it came in
    size_t fragment_samples = 0;            // packets written since the last fragment
    size_t fragment_bytes = 0;              // their size
    bool need_key = true;                   // drop packets until a key frame
    bool rebase = true;                     // the next packet starts a new connection's timeline
    int64_t offset = 0;                     // added to input timestamps (file time base)
    int64_t next_dts = 0;                   // where the next connection continues
    int64_t last_duration = 0;              // of the last packet written, 0 = unknown
    int64_t last_placed = AV_NOPTS_VALUE;   // decoding time of the newest packet placed
    int error_code = 0;                     // 0, or why the file failed
};
