// Internal to recording: keeps free space on the disk a recording writes
// to. A thread of its own checks the file system every few seconds (and
// when the writer asks), deletes the oldest recordings while free space is
// below the rule's level (recording/disk_space.h), and publishes two
// numbers the writer thread reads without waiting: whether there is room to
// write, and the size at which a file is ended. Owned by a recorder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class space_keeper_obj {
public:
    // Makes room once at once (before the first file begins), then every
    // check_ms on its own thread.
    space_keeper_obj(std::string folder, int check_ms);
    ~space_keeper_obj();
    space_keeper_obj(const space_keeper_obj&) = delete;
    space_keeper_obj& operator=(const space_keeper_obj&) = delete;

    // Writer thread, never waiting on the disk.
    bool room() const { return room_.load(std::memory_order_relaxed); }
    // 0 when the file system is not known: no limit.
    uint64_t max_file() const { return max_file_.load(std::memory_order_relaxed); }
    // A write failed for lack of space: no room until a check finds it again.
    void space_ran_out();
    // Asks for a check soon.
    void check_now();
    // The recording wrote n more bytes (for its bitrate). After a share of
    // the free space the rule keeps, a check comes before its time, so that
    // a fast recording on a small disk never writes it full between two.
    void add_written(uint64_t n);

private:
    void run();
    void check();
    double bytes_per_s();

    const std::string folder;             // where the recordings lie, with its separator
    const std::chrono::milliseconds interval;  // between two checks

    std::atomic<uint64_t> bytes{0};       // the recording's written bytes
    std::atomic<bool> room_{true};        // the writer may write
    std::atomic<uint64_t> max_file_{0};   // a file ends at the next key frame beyond this
    std::atomic<uint64_t> check_every{0};  // written bytes that ask for a check, 0 = none
    std::atomic<uint64_t> checked_at{0};  // bytes when the last check was asked for
    std::atomic<uint64_t> ran_out{0};     // space_ran_out calls: a check begun before one does not give room

    std::mutex mutex;                     // guards the two flags below, never held over a check
    std::condition_variable wake;         // ends the wait between checks
    bool asked = false;                   // check_now was called
    bool stopping = false;                // the destructor runs

    // The keeper thread's own: samples of (ms, bytes) over the last minute.
    std::deque<std::pair<int64_t, uint64_t>> samples;
    std::thread thread;
};
