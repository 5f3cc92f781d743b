// The program's counters and gauges, which every folder updates and the web
// server's "/metrics" and "/healthz" read. Relaxed atomics: a reader may see
// one counter a step ahead of another, never a torn or falling counter. Any
// thread; nothing here takes a lock on the hot paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Why recording is not writing although a recording runs.
enum class rec_stall_t : int { none = 0, no_space = 1, write_failed = 2 };

struct metrics_t {
    // Camera (the receive thread).
    std::atomic<int> camera_connected{0};          // a stream is being received
    std::atomic<uint64_t> camera_reconnects{0};    // streams re-opened after a drop
    std::atomic<uint64_t> camera_packets{0};       // packets received
    std::atomic<uint64_t> camera_bytes{0};         // their bytes
    std::atomic<int64_t> camera_last_packet_ms{0};  // monotonic ms of the newest packet, 0 = none yet

    // Recording (recorders' writer threads, the space keeper, the sweep).
    std::atomic<int> recorders{0};                 // recordings running (between start and stop)
    std::atomic<int> recording_files_open{0};      // files being written
    std::atomic<uint64_t> recording_bytes{0};      // bytes that reached recording files
    std::atomic<uint64_t> recording_packets{0};    // packets taken into recording files
    std::atomic<int64_t> recording_last_packet_ms{0};  // monotonic ms of the newest one
    std::atomic<int> recording_stall{0};           // a rec_stall_t
    std::atomic<uint64_t> deleted_by_age{0};       // recordings deleted for their age
    std::atomic<uint64_t> deleted_for_space{0};    // recordings deleted to free space
    std::atomic<int64_t> recording_free_bytes{-1};  // free bytes where recordings go, -1 = unknown

    // Web server (its thread).
    std::atomic<int> http_connections{0};          // open connections
};

extern metrics_t metrics;

// Adds n to a counter, relaxed.
inline void metric_add(std::atomic<uint64_t>& counter, uint64_t n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}
template <typename T>
inline void metric_set(std::atomic<T>& gauge, T value)
{
    gauge.store(value, std::memory_order_relaxed);
}
template <typename T>
inline T metric_get(const std::atomic<T>& value)
{
    return value.load(std::memory_order_relaxed);
}

// Milliseconds on the monotonic clock, the time base of the *_ms gauges.
int64_t metrics_clock_ms();

// Answers by status code; codes the server does not send count as "other".
void metrics_count_answer(int code);
struct labelled_count_t {
    std::string label;
    int64_t value;
};
std::vector<labelled_count_t> metrics_answers();

// Clients of a streaming route (name as the route is called), +1 when one
// begins, -1 when it ends. A route is listed from its first client on.
void metrics_stream_client(const char* route, int delta);
std::vector<labelled_count_t> metrics_stream_clients();
