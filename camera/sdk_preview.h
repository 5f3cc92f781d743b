// Internal to the camera SDK layer: one live preview. Its receive thread
// connects, hands the stream header and then every packet to the preview's
// callback and to any packet sinks (a recorder subscribes here), and after a
// drop reconnects by itself while reconnection is on. start and stop run on
// the caller's thread; everything else on the receive thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/sdk.h"
#include "camera/stream_source.h"

// Settings shared by every preview, changed by sdk_set_connect_time and
// sdk_set_reconnect and read when a connection is made.
void sdk_store_connect_limits(uint32_t wait_ms, uint32_t tries);
connect_limits_t sdk_connect_limits();
void sdk_store_reconnect(uint32_t interval_ms, bool enabled);

// A subscriber to a preview's packets. Called on the receive thread.
class packet_sink_t {
public:
    virtual ~packet_sink_t() = default;
    // A connection's stream begins; the pointers are valid during the call.
    virtual void stream_started(const AVCodecParameters* parameters, AVRational time_base) = 0;
    virtual void stream_packet(const AVPacket* packet) = 0;
    // The connection dropped, or the sink is being removed.
    virtual void stream_ended() = 0;
};

// Where a preview connects to.
struct preview_target_t {
    std::string url;        // stream URL with credentials, or a test:// address
    std::string transport;  // rtsp_transport value
};

// Its last owner must not let go of it on the receive thread itself (a sink
// holds no pointer to its preview).
class preview_obj {
public:
    preview_obj(int32_t handle, preview_target_t target, stream_data_callback_t callback,
                void* user);
    ~preview_obj();
    preview_obj(const preview_obj&) = delete;
    preview_obj& operator=(const preview_obj&) = delete;

    // Starts the receive thread and waits for its first connection; false
    // (and no thread left) when that fails.
    bool start();
    // Returns when the receive thread has ended: no callback runs after it.
    void stop();
    bool on_receive_thread() const { return std::this_thread::get_id() == thread.get_id(); }

    // A sink added while a stream runs hears stream_started at once.
    void add_sink(const std::shared_ptr<packet_sink_t>& sink);
    void remove_sink(const std::shared_ptr<packet_sink_t>& sink);

private:
    void run();
    open_result_t connect();
    void deliver_header();
    void deliver_packet(const AVPacket* packet);
    read_result_t pump();
    void end_stream();
    bool wait_to_reconnect();

    const int32_t handle;                  // this preview's handle, given to the callback
    const preview_target_t target;         // where to connect
    const stream_data_callback_t callback; // the owner's stream callback, may be null
    void* const user;                      // the owner's value for the callback
    stop_signal_t stop_signal;             // raised by stop
    std::thread thread;                    // the receive thread
    std::unique_ptr<stream_source_obj> source;  // the current connection (receive thread)
    std::vector<uint8_t> block;            // reused buffer of one data block

    // The outcome of the first connection, handed from the receive thread to start.
    std::mutex start_mutex;                // guards the two below
    std::condition_variable start_done;    // signalled when first_result is set
    int first_result = 0;                  // 0 pending, 1 connected, -1 failed

    std::mutex sinks_mutex;                // guards the four below
    std::vector<std::shared_ptr<packet_sink_t>> sinks;  // subscribers besides the callback
    bool streaming = false;                // a stream runs (sinks heard stream_started)
    AVCodecParameters* parameters = nullptr;  // the running stream's, for late sinks
    AVRational time_base{1, 90000};        // the running stream's packet time base
};
