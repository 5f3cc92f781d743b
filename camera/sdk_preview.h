// Internal to the camera SDK layer: one live preview. Its receive thread
// connects, hands the stream header to the preview's callback and every
// packet to the preview's fan-out (stream/packet_fanout.h: the decoder, the
// recorder and live web streams subscribe there), and after a drop
// reconnects by itself while reconnection is on. start and stop run on the
// caller's thread; everything else on the receive thread.
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
#include "stream/packet_fanout.h"

// Settings shared by every preview, changed by sdk_set_connect_time and
// sdk_set_reconnect and read when a connection is made.
void sdk_store_connect_limits(uint32_t wait_ms, uint32_t tries);
connect_limits_t sdk_connect_limits();
void sdk_store_reconnect(uint32_t interval_ms, bool enabled);

// Where a preview connects to.
struct preview_target_t {
    std::string url;        // stream URL with credentials, or a test:// address
    std::string transport;  // rtsp_transport value
};

// Its last owner must not let go of it on the receive thread itself (a
// subscriber holds no pointer to its preview).
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

    // Where the packets go; it outlives the preview for those that hold it.
    const std::shared_ptr<packet_fanout_obj>& packets() const { return fanout; }

private:
    void run();
    open_result_t connect();
    void deliver_header();
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
    const std::shared_ptr<packet_fanout_obj> fanout;  // every consumer of the packets

    // The outcome of the first connection, handed from the receive thread to start.
    std::mutex start_mutex;                // guards the two below
    std::condition_variable start_done;    // signalled when first_result is set
    int first_result = 0;                  // 0 pending, 1 connected, -1 failed

};
