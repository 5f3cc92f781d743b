// A recording's queue and writer thread. The receive thread only takes a
// reference to each packet and queues it; when the disk falls so far behind
// that the queue is full, packets are dropped up to the next key frame (a
// frame without its predecessors would decode grey) and that is logged once.
// A write failure is logged once and ends the file. Out of space the
// recording goes on in a new file when there is room again (the space
// keeper, on a thread of its own, says when); after any other failure it
// discards what comes until it is finished.
#include "recording/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

#include "recording/fmp4_writer.h"
#include "recording/space_keeper.h"
#include "settings/log.h"
#include "settings/metrics.h"

namespace {

struct packet_deleter_t {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct parameters_deleter_t {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};

std::string error_text(int code)
{
    if (code > 0)
        return std::strerror(code);
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string folder_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A file name from the current time that no file has yet: the first file of
// a recording may have begun in the same second.
std::string next_file_path(const std::string& folder)
{
    const std::string stem = folder + utc_timestamp();
    std::string path = stem + ".mp4";
    for (int n = 2; ::access(path.c_str(), F_OK) == 0 && n < 100; n++)
        path = stem + "-" + std::to_string(n) + ".mp4";
    return path;
}

}  // namespace

// One thing the receive thread told the recording.
struct recorder_obj::event_t {
    enum kind_t { started, packet, ended } kind;
    std::unique_ptr<AVPacket, packet_deleter_t> data;                  // packet: a reference
    std::unique_ptr<AVCodecParameters, parameters_deleter_t> parameters;  // started: a copy
    AVRational time_base{1, 90000};                                    // started
};

std::unique_ptr<recorder_obj> recorder_obj::create(const std::string& path, int* error,
                                                   const output_opener_t& opener,
                                                   const recorder_limits_t& limits)
{
    // Room is made before the first file begins.
    auto keeper = std::make_unique<space_keeper_obj>(folder_of(path), limits.space_check_ms);
    std::unique_ptr<file_output_t> first = opener(path, error);
    if (!first) {
        log_print("%s rec: can not create %s (%s)\n", utc_timestamp().c_str(), path.c_str(),
                  error_text(*error).c_str());
        return nullptr;
    }
    return std::unique_ptr<recorder_obj>(
        new recorder_obj(std::move(keeper), std::move(first), opener, limits));
}

recorder_obj::recorder_obj(std::unique_ptr<space_keeper_obj> keeper,
                           std::unique_ptr<file_output_t> first, const output_opener_t& opener,
                           const recorder_limits_t& limits)
    : opener(opener), limits(limits), folder(folder_of(first->path())), keeper(std::move(keeper)),
      writer(std::make_unique<fmp4_writer_obj>(std::move(first)))
{
    metrics.recorders.fetch_add(1, std::memory_order_relaxed);
    metrics.recording_files_open.fetch_add(1, std::memory_order_relaxed);
    metric_set(metrics.recording_stall, int(rec_stall_t::none));
    metric_set(metrics.recording_last_packet_ms, metrics_clock_ms());  // silence counts from here
    thread = std::thread(&recorder_obj::run, this);
}

recorder_obj::~recorder_obj() { finish(); }

void recorder_obj::stream_started(const AVCodecParameters* parameters, AVRational time_base)
{
    event_t event{event_t::started, nullptr, nullptr, time_base};
    event.parameters.reset(avcodec_parameters_alloc());
    if (!event.parameters || avcodec_parameters_copy(event.parameters.get(), parameters) < 0)
        return;
    push(std::move(event), 0);
}

void recorder_obj::stream_packet(const AVPacket* packet)
{
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    const size_t bytes = packet->size > 0 ? size_t(packet->size) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (finishing || (dropping && !key))
            return;
        if (queued_bytes + bytes > limits.max_bytes || queue.size() >= limits.max_packets) {
            if (!drop_logged)
                log_print("%s rec: the disk falls behind, video dropped up to the next key frame\n",
                          utc_timestamp().c_str());
            drop_logged = true;
            dropping = true;
            return;
        }
        dropping = false;
    }
    event_t event{event_t::packet, nullptr, nullptr, {1, 90000}};
    event.data.reset(av_packet_alloc());
    if (!event.data || av_packet_ref(event.data.get(), packet) < 0)
        return;
    push(std::move(event), bytes);
}

void recorder_obj::stream_ended() { push({event_t::ended, nullptr, nullptr, {1, 90000}}, 0); }

void recorder_obj::push(event_t&& event, size_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (finishing)
            return;
        queue.push_back(std::move(event));
        queued_bytes += bytes;
    }
    wake.notify_one();
}

void recorder_obj::finish()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    wake.notify_one();
    if (!thread.joinable())
        return;
    thread.join();
    metrics.recorders.fetch_sub(1, std::memory_order_relaxed);
}

int recorder_obj::files_begun() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return files;
}

void recorder_obj::run()
{
    for (;;) {
        event_t event{event_t::ended, nullptr, nullptr, {1, 90000}};
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return !queue.empty() || finishing; });
            if (queue.empty())
                break;
            event = std::move(queue.front());
            queue.pop_front();
            if (event.data)
                queued_bytes -= size_t(std::max(event.data->size, 0));
        }
        handle(event);
    }
    if (writer)
        close_writer();
    avcodec_parameters_free(&stream);
}

void recorder_obj::handle(event_t& event)
{
    switch (event.kind) {
    case event_t::started:
        stream_running = false;
        if (!stream)
            stream = avcodec_parameters_alloc();
        if (!stream || avcodec_parameters_copy(stream, event.parameters.get()) < 0)
            break;
        stream_running = true;
        stream_time_base = event.time_base;
        if (writer && !writer->stream_started(stream, stream_time_base))
            start_next_file("the camera stream changed");
        break;
    case event_t::packet:
        write_packet(event.data.get());
        break;
    case event_t::ended:
        stream_running = false;
        if (writer)
            writer->stream_ended();
        break;
    }
    if (writer) {
        count_written();
        if (writer->failed())
            report_failure();
    }
}

// A file ends at a key frame, so the next one begins with it and nothing
// is lost: when it reached the size the free space allows, and when the
// disk has no room (then recording waits for a key frame with room again).
bool recorder_obj::write_packet(const AVPacket* packet)
{
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!writer && paused && key && stream_running && keeper->room())
        start_next_file("space is back");
    if (!writer)
        return false;
    if (!keeper->room()) {
        pause_for_space();
        return false;
    }
    const uint64_t max_file = keeper->max_file();
    if (key && max_file > 0 && writer->bytes_written() >= max_file) {
        start_next_file("the file reached the size the free space allows");
        if (!writer)
            return false;
    }
    if (!writer->write(packet))
        return false;
    metric_add(metrics.recording_packets);
    metric_set(metrics.recording_last_packet_ms, metrics_clock_ms());
    return true;
}

// The file so far is complete, and the recording goes on in a new one.
void recorder_obj::start_next_file(const char* why)
{
    if (writer) {
        const bool whole = writer->finish();
        count_written();
        if (!whole) {
            report_failure();
            return;
        }
        close_writer();
    }
    const std::string path = next_file_path(folder);
    int error = 0;
    std::unique_ptr<file_output_t> output = opener(path, &error);
    if (!output) {
        // Once until a file begins again: a disk out of inodes shows free
        // space to every check and refuses every file.
        if (!create_failure_logged)
            log_print("%s rec: can not create %s (%s)\n", utc_timestamp().c_str(), path.c_str(),
                      error_text(error).c_str());
        create_failure_logged = true;
        if (error == ENOSPC || error == EDQUOT) {
            keeper->space_ran_out();
            paused = true;
        } else {
            metric_set(metrics.recording_stall, int(rec_stall_t::write_failed));
        }
        return;
    }
    log_print("%s rec: %s, recording goes on in %s\n", utc_timestamp().c_str(), why, path.c_str());
    writer = std::make_unique<fmp4_writer_obj>(std::move(output));
    create_failure_logged = false;
    counted_bytes = 0;
    metrics.recording_files_open.fetch_add(1, std::memory_order_relaxed);
    metric_set(metrics.recording_stall, int(rec_stall_t::none));
    paused = false;
    if (stream_running)
        writer->stream_started(stream, stream_time_base);
    std::lock_guard<std::mutex> lock(mutex);
    files++;
}

// No room, and nothing of ours left to delete: the file ends whole, and
// the recording waits for space.
void recorder_obj::pause_for_space()
{
    log_print("%s rec: no space left in %s, %s ends here and recording pauses until there is\n",
              utc_timestamp().c_str(), folder.c_str(), writer->path().c_str());
    writer->finish();
    count_written();
    if (writer->failed()) {
        report_failure();
        return;
    }
    close_writer();
    paused = true;
    metric_set(metrics.recording_stall, int(rec_stall_t::no_space));
}

// Ends the file (if not yet) and lets it go.
void recorder_obj::close_writer()
{
    writer->finish();
    count_written();
    writer.reset();
    metrics.recording_files_open.fetch_sub(1, std::memory_order_relaxed);
}

void recorder_obj::count_written()
{
    const uint64_t now = writer->bytes_written();
    if (now <= counted_bytes)
        return;
    metric_add(metrics.recording_bytes, now - counted_bytes);
    keeper->add_written(now - counted_bytes);
    counted_bytes = now;
}

// A write failure is logged once per recording; the file keeps what reached
// it whole. Out of space, the recording goes on in a new file once the
// space keeper finds room; any other failure ends it.
void recorder_obj::report_failure()
{
    const int error = writer->error();
    if (!failure_logged)
        log_print("%s rec: can not write %s (%s), the file ends there\n", utc_timestamp().c_str(),
                  writer->path().c_str(), error_text(error).c_str());
    failure_logged = true;
    close_writer();
    if (error == ENOSPC || error == EDQUOT) {
        keeper->space_ran_out();
        paused = true;
        metric_set(metrics.recording_stall, int(rec_stall_t::no_space));
    } else {
        metric_set(metrics.recording_stall, int(rec_stall_t::write_failed));
    }
}
