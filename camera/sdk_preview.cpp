// A preview's receive thread. One pass: connect (bounded by the connect
// time), deliver the header, deliver packets until the stream drops, close.
// With reconnection on, the passes repeat every reconnect interval until the
// preview is stopped; the handle stays valid throughout.
#include "camera/sdk_preview.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

#include "camera/camera_address.h"
#include "player/stream_format.h"
#include "settings/log.h"
#include "settings/metrics.h"
#include "stream/media_av.h"

namespace {

std::atomic<uint32_t> limit_wait_ms{2000};   // connect time of one attempt
std::atomic<uint32_t> limit_tries{1};        // attempts per connection
std::atomic<uint32_t> reconnect_ms{10000};   // wait between reconnection attempts
std::atomic<bool> reconnect_on{false};       // reconnect after a drop

// Reconnecting to a camera that refuses at once must not become a busy loop.
constexpr uint32_t min_reconnect_ms = 500;
// A wait of 0 would end every attempt before it starts; the largest wait and
// number of attempts keep a login on the GUI thread from freezing the window
// for longer than ten minutes whatever the settings say.
constexpr uint32_t min_wait_ms = 100;
constexpr uint32_t max_wait_ms = 60000;
constexpr uint32_t max_tries = 10;

}  // namespace

void sdk_store_connect_limits(uint32_t wait_ms, uint32_t tries)
{
    limit_wait_ms = std::clamp(wait_ms, min_wait_ms, max_wait_ms);
    limit_tries = std::clamp<uint32_t>(tries, 1, max_tries);
}

connect_limits_t sdk_connect_limits() { return {limit_wait_ms.load(), limit_tries.load()}; }

void sdk_store_reconnect(uint32_t interval_ms, bool enabled)
{
    reconnect_ms = std::max(interval_ms, min_reconnect_ms);
    reconnect_on = enabled;
}

preview_obj::preview_obj(int32_t handle, preview_target_t target,
                         stream_data_callback_t callback, void* user)
    : handle(handle), target(std::move(target)), callback(callback), user(user),
      fanout(std::make_shared<packet_fanout_obj>())
{
}

preview_obj::~preview_obj() { stop(); }

bool preview_obj::start()
{
    thread = std::thread(&preview_obj::run, this);
    std::unique_lock<std::mutex> lock(start_mutex);
    start_done.wait(lock, [this] { return first_result != 0; });
    const bool ok = first_result > 0;
    lock.unlock();
    if (!ok)
        thread.join();
    return ok;
}

void preview_obj::stop()
{
    stop_signal.raise();
    if (thread.joinable() && !on_receive_thread())
        thread.join();
}

open_result_t preview_obj::connect()
{
    std::string reason;
    const open_result_t r = open_stream_source(target.url, target.transport.c_str(), &stop_signal,
                                               false, sdk_connect_limits(), &source, &reason);
    if (r != open_result_t::ok && r != open_result_t::stopped)
        log_print("%s camera: can not open %s: %s\n", utc_timestamp().c_str(),
                  url_for_log(target.url).c_str(), reason.c_str());
    return r;
}

void preview_obj::run()
{
    const bool connected = connect() == open_result_t::ok;
    {
        std::lock_guard<std::mutex> lock(start_mutex);
        first_result = connected ? 1 : -1;
    }
    start_done.notify_all();
    if (!connected)
        return;

    for (;;) {
        deliver_header();
        const read_result_t why = pump();
        end_stream();
        if (why == read_result_t::stopped || stop_signal.raised())
            return;
        log_print("%s camera: stream dropped (%s)\n", utc_timestamp().c_str(),
                  why == read_result_t::end ? "ended by the camera" : source->last_error().c_str());
        source.reset();
        if (!wait_to_reconnect())
            return;
        log_print("%s camera: stream reconnected\n", utc_timestamp().c_str());
        metric_add(metrics.camera_reconnects);
    }
}

// Retries every reconnect interval until a connection is made (true) or the
// preview stops or reconnection is switched off (false). Only the first
// failure is logged, so a camera that stays away does not fill the log.
bool preview_obj::wait_to_reconnect()
{
    bool logged = false;
    for (;;) {
        if (!reconnect_on) {
            log_print("%s camera: reconnection is off, the preview ends\n",
                      utc_timestamp().c_str());
            return false;
        }
        if (!stop_signal.sleep_for(std::chrono::milliseconds(reconnect_ms.load())))
            return false;
        std::string reason;
        const open_result_t r =
            open_stream_source(target.url, target.transport.c_str(), &stop_signal, false,
                               sdk_connect_limits(), &source, &reason);
        if (r == open_result_t::ok)
            return true;
        if (r == open_result_t::stopped)
            return false;
        if (!logged)
            log_print("%s camera: reconnection failed (%s), retrying every %u ms\n",
                      utc_timestamp().c_str(), reason.c_str(), reconnect_ms.load());
        logged = true;
    }
}

void preview_obj::deliver_header()
{
    const AVCodecParameters* par = source->codec_parameters();
    const AVRational tb = source->time_base();
    const AVRational fps = source->frame_rate();
    stream_header_t header;
    header.codec_id = uint32_t(par->codec_id);
    header.width = std::clamp(par->width, 0, stream_max_dimension);
    header.height = std::clamp(par->height, 0, stream_max_dimension);
    header.time_base_num = tb.num > 0 ? tb.num : 1;
    header.time_base_den = tb.den > 0 ? tb.den : 90000;
    header.frame_rate_num = std::max(fps.num, 0);
    header.frame_rate_den = std::max(fps.den, 0);
    if (par->extradata && par->extradata_size > 0 &&
        uint32_t(par->extradata_size) <= stream_max_extradata)
        header.extradata.assign(par->extradata, par->extradata + par->extradata_size);
    const std::vector<uint8_t> bytes = write_stream_header(header);
    // The fan-out first: the player port the callback opens takes its
    // packets from there, and finds the new stream running.
    fanout->start({par, tb});
    if (callback)
        callback(handle, sdk_stream_header, bytes.data(), uint32_t(bytes.size()), user);
    metric_set(metrics.camera_last_packet_ms, metrics_clock_ms());  // silence counts from here
    metric_set(metrics.camera_connected, 1);
}

namespace {

// For the live benchmark only (bench/live_mp4.sh): with KESTREL_PACKET_TRACE
// naming a file, each packet's arrival (steady clock, microseconds) and its
// last bytes, by which the benchmark finds it again in the fragments its
// clients receive. Nothing of it reaches the stream.
FILE* packet_trace()
{
    static FILE* const trace = [] {
        const char* path = std::getenv("KESTREL_PACKET_TRACE");
        return path && *path ? std::fopen(path, "a") : nullptr;
    }();
    return trace;
}

void trace_packet(FILE* trace, const AVPacket* packet)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::fprintf(trace, "%lld ", static_cast<long long>(
                                     std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
    for (int i = std::max(packet->size - 16, 0); i < packet->size; i++)
        std::fprintf(trace, "%02x", packet->data[i]);
    std::fputc('\n', trace);
    std::fflush(trace);
}

}  // namespace

read_result_t preview_obj::pump()
{
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return read_result_t::failed;
    read_result_t r;
    FILE* const trace = packet_trace();
    while ((r = source->read(packet)) == read_result_t::packet) {
        if (trace)
            trace_packet(trace, packet);
        metric_add(metrics.camera_packets);
        metric_add(metrics.camera_bytes, uint64_t(std::max(packet->size, 0)));
        metric_set(metrics.camera_last_packet_ms, metrics_clock_ms());
        fanout->push({packet});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return r;
}

void preview_obj::end_stream()
{
    metric_set(metrics.camera_connected, 0);
    fanout->end();
    source->close();
}
