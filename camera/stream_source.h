// Internal to the camera SDK layer: one connection to a camera stream, made
// and used by a preview's receive thread. Two kinds exist: a libavformat
// input (RTSP and other URLs) and the built-in synthetic camera. interrupt
// may come from another thread; everything else runs on the receive thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "camera/stop_signal.h"

// How long a network wait may last, set by sdk_set_connect_time.
struct connect_limits_t {
    uint32_t wait_ms = 2000;  // one attempt's time-out
    uint32_t tries = 1;       // attempts before giving up
};

// Why an open failed.
enum class open_result_t {
    ok,
    refused,         // the camera rejected the credentials
    not_found,       // the camera answered but has no such stream
    failed,          // unreachable, timed out, no usable video, ...
    stopped,         // the owner stopped the worker meanwhile
};

enum class read_result_t {
    packet,   // a packet was read
    end,      // the camera ended the stream (a drop to reconnect from)
    failed,   // the connection broke or timed out
    stopped,  // the owner stopped the worker meanwhile
};

class stream_source_obj {
public:
    virtual ~stream_source_obj() = default;
    // One attempt, bounded by limits.wait_ms.
    virtual open_result_t open(const connect_limits_t& limits) = 0;
    // The video stream's parameters; valid after a successful open.
    virtual const AVCodecParameters* codec_parameters() const = 0;
    virtual AVRational time_base() const = 0;
    virtual AVRational frame_rate() const = 0;
    // The next packet of the video stream into packet (unreferenced first).
    virtual read_result_t read(AVPacket* packet) = 0;
    // Ends the connection, bounded as well; also done by the destructor.
    virtual void close() = 0;
    // Why the last open or read failed, for the log.
    virtual std::string last_error() const = 0;
};

// stop must outlive the source; raising it ends any wait inside. A paused
// source only sets the session up (enough to check access) and never plays.
std::unique_ptr<stream_source_obj> make_stream_source(const std::string& url,
                                                      const char* transport,
                                                      stop_signal_t* stop, bool paused = false);

// Opens a source with up to limits.tries attempts of limits.wait_ms each;
// gives up at once when the camera refuses the credentials or the stop is
// raised. On failure *source is null and *reason says why.
open_result_t open_stream_source(const std::string& url, const char* transport,
                                 stop_signal_t* stop, bool paused, const connect_limits_t& limits,
                                 std::unique_ptr<stream_source_obj>* source, std::string* reason);
