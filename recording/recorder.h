// Internal to recording: one recording. The preview's receive
// thread hands it stream events without ever waiting on the disk; a writer
// thread of its own takes them from a bounded queue into the MP4 writer.
// When the camera comes back with other stream parameters, when a file has
// grown to the space keeper's limit, and when the disk has room again after
// running full, the recording goes on in a new file beside the first. Created and finished on the GUI
// thread; the recorder owns its writer thread and its files.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "recording/file_output.h"

class fmp4_writer_obj;
class space_keeper_obj;

// Opens a recording file: open_file_output, or a test's failing disk.
using output_opener_t = std::function<std::unique_ptr<file_output_t>(const std::string&, int*)>;

// How much the queue may hold before packets are dropped.
struct recorder_limits_t {
    size_t max_bytes = 64u << 20;  // packet bytes waiting for the disk
    size_t max_packets = 4096;     // packets waiting for the disk
    int space_check_ms = 2000;     // between two checks of the disk's free space
};

class recorder_obj {
public:
    // Creates the file at path; null with *error (an errno value) set when
    // it can not be created.
    static std::unique_ptr<recorder_obj> create(const std::string& path, int* error,
                                                const output_opener_t& opener = open_file_output,
                                                const recorder_limits_t& limits = {});
    // Finishes the recording.
    ~recorder_obj();
    recorder_obj(const recorder_obj&) = delete;
    recorder_obj& operator=(const recorder_obj&) = delete;

    // Receive thread: queue the event and return at once.
    void stream_started(const AVCodecParameters* parameters, AVRational time_base);
    void stream_packet(const AVPacket* packet);
    void stream_ended();

    // Writes everything queued, ends the file and stops the writer thread.
    // Returns when the file is complete. Not on the receive thread.
    void finish();

    // How many files this recording has begun (more than one after a change
    // of stream parameters).
    int files_begun() const;

private:
    struct event_t;
    recorder_obj(std::unique_ptr<space_keeper_obj> keeper, std::unique_ptr<file_output_t> first,
                 const output_opener_t& opener, const recorder_limits_t& limits);
    void push(event_t&& event, size_t bytes);
    void run();
    void handle(event_t& event);
    bool write_packet(const AVPacket* packet);
    void start_next_file(const char* why);
    void pause_for_space();
    void close_writer();
    void count_written();
    void report_failure();

    const output_opener_t opener;        // opens the files after the first
    const recorder_limits_t limits;      // the queue's bounds
    const std::string folder;            // where the files go, with its separator

    mutable std::mutex mutex;            // guards the members up to the writer thread
    std::condition_variable wake;        // the writer waits on it for events
    std::deque<event_t> queue;           // events waiting for the writer thread
    size_t queued_bytes = 0;             // packet bytes in queue
    bool dropping = false;               // the queue overflowed: drop until a key frame
    bool drop_logged = false;            // the overflow was logged once
    bool finishing = false;              // finish was called: the writer ends when the queue is empty
    int files = 1;                       // files begun so far

    const std::unique_ptr<space_keeper_obj> keeper;  // frees space, says when there is none

    // The writer thread's own state.
    std::unique_ptr<fmp4_writer_obj> writer;  // the file being written, null after a failure or while paused
    uint64_t counted_bytes = 0;          // of writer's bytes, those counted in the metrics
    AVCodecParameters* stream = nullptr;  // the running stream's, to begin a next file with
    AVRational stream_time_base{1, 90000};  // its packets' time base
    bool stream_running = false;         // between a started and an ended event
    bool paused = false;                 // no room on the disk: waiting for it with no file
    bool failure_logged = false;         // a write failure was logged
    bool create_failure_logged = false;  // a file that could not be created was logged, since the last file began
    std::thread thread;                  // the writer thread
};
