// A recording's queue and writer thread. The receive thread only takes a
// reference to each packet and queues it; when the disk falls so far behind
// that the queue is full, packets are dropped up to the next key frame (a
// frame without its predecessors would decode grey) and that is logged once.
// A write failure is logged once and ends the file; the recording then
// discards what comes until it is finished.
#include "recording/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

#include "recording/fmp4_writer.h"
#include "settings/log.h"

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
    std::unique_ptr<file_output_t> first = opener(path, error);
    if (!first)
        return nullptr;
    return std::unique_ptr<recorder_obj>(new recorder_obj(std::move(first), opener, limits));
}

recorder_obj::recorder_obj(std::unique_ptr<file_output_t> first, const output_opener_t& opener,
                           const recorder_limits_t& limits)
    : opener(opener), limits(limits), folder(folder_of(first->path())),
      writer(std::make_unique<fmp4_writer_obj>(std::move(first)))
{
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
    if (thread.joinable())
        thread.join();
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
    if (writer && !writer->finish())
        report_failure();
    writer.reset();
}

void recorder_obj::handle(event_t& event)
{
    if (!writer)
        return;
    switch (event.kind) {
    case event_t::started:
        if (!writer->stream_started(event.parameters.get(), event.time_base))
            start_next_file(event.parameters.get(), event.time_base);
        break;
    case event_t::packet:
        writer->write(event.data.get());
        break;
    case event_t::ended:
        writer->stream_ended();
        break;
    }
    if (writer && writer->failed())
        report_failure();
}

// The camera came back with another picture size or codec: this file is
// complete, and the recording goes on in a new one.
void recorder_obj::start_next_file(const AVCodecParameters* parameters, AVRational time_base)
{
    if (!writer->finish()) {
        report_failure();
        return;
    }
    const std::string path = next_file_path(folder);
    int error = 0;
    std::unique_ptr<file_output_t> output = opener(path, &error);
    if (!output) {
        log_print("%s rec: can not create %s (%s)\n", utc_timestamp().c_str(), path.c_str(),
                  error_text(error).c_str());
        writer.reset();
        return;
    }
    log_print("%s rec: the camera stream changed, recording goes on in %s\n",
              utc_timestamp().c_str(), path.c_str());
    writer = std::make_unique<fmp4_writer_obj>(std::move(output));
    writer->stream_started(parameters, time_base);
    std::lock_guard<std::mutex> lock(mutex);
    files++;
}

// Logged once per recording; the file keeps what reached it whole.
void recorder_obj::report_failure()
{
    if (!failure_logged)
        log_print("%s rec: can not write %s (%s), the file ends there\n", utc_timestamp().c_str(),
                  writer->path().c_str(), error_text(writer->error()).c_str());
    failure_logged = true;
    writer->finish();
    writer.reset();
}
