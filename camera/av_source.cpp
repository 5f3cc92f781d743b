// libavformat input with an interrupt callback: each blocking call gets a
// deadline (the connect time) and ends at once when the owner raises the stop
// signal. The socket time-out option bounds the waits inside the protocol
// code as well. Closing ignores the stop signal for a short, bounded while so
// that the camera still hears the end of the session.
#include "camera/av_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}


namespace {

// A camera that sends 1080p over UDP needs more than the system's default
// socket buffer, or bursts of a key frame are lost.
constexpr const char* udp_buffer_bytes = "4194304";
// A read may take this many connect times: the socket time-out ends a stall
// after one, and with automatic transport the input then still needs the time
// to set the session up again over TCP.
constexpr uint32_t read_wait_factor = 3;
// Closing may take at most this long, so that a hung camera cannot hold up
// sdk_stop_preview beyond the connect time.
constexpr uint32_t close_limit_ms = 1000;

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string av_error_text(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

class av_source_obj final : public stream_source_obj {
public:
    av_source_obj(const std::string& url, const char* transport, stop_signal_t* stop, bool paused)
        : url(url), transport(transport), stop(stop), paused(paused)
    {
    }
    ~av_source_obj() override { close(); }

    open_result_t open(const connect_limits_t& limits) override;
    const AVCodecParameters* codec_parameters() const override
    {
        return context->streams[stream_index]->codecpar;
    }
    AVRational time_base() const override { return context->streams[stream_index]->time_base; }
    AVRational frame_rate() const override;
    read_result_t read(AVPacket* packet) override;
    void close() override;
    std::string last_error() const override { return error; }

private:
    static int interrupt(void* opaque);
    void arm(uint64_t ms) { deadline_ms.store(now_ms() + int64_t(ms)); }
    open_result_t fail_open(int code);

    std::string url;                     // with credentials; never logged as is
    std::string transport;               // rtsp_transport value
    stop_signal_t* stop;                 // the owner's stop request
    bool paused;                         // set the session up, never play
    AVFormatContext* context = nullptr;  // the open input, null when closed
    int stream_index = -1;               // the video stream read
    uint32_t wait_ms = 2000;             // the connect time of one wait
    std::atomic<int64_t> deadline_ms{0}; // the running call ends after this
    std::atomic<bool> closing{false};    // close runs: the stop is not obeyed
    std::string error;                   // why the last open or read failed
};

int av_source_obj::interrupt(void* opaque)
{
    auto* self = static_cast<av_source_obj*>(opaque);
    if (!self->closing.load() && self->stop->raised())
        return 1;
    return now_ms() > self->deadline_ms.load() ? 1 : 0;
}

open_result_t av_source_obj::fail_open(int code)
{
    error = av_error_text(code);
    if (stop->raised())
        return open_result_t::stopped;
    if (code == AVERROR_HTTP_UNAUTHORIZED || code == AVERROR_HTTP_FORBIDDEN)
        return open_result_t::refused;
    if (code == AVERROR_HTTP_NOT_FOUND)
        return open_result_t::not_found;
    return open_result_t::failed;
}

open_result_t av_source_obj::open(const connect_limits_t& limits)
{
    close();
    closing = false;
    wait_ms = std::max<uint32_t>(limits.wait_ms, 1);
    context = avformat_alloc_context();
    if (!context)
        return fail_open(AVERROR(ENOMEM));
    context->interrupt_callback = {&av_source_obj::interrupt, this};

    AVDictionary* options = nullptr;
    av_dict_set(&options, "timeout", std::to_string(uint64_t(wait_ms) * 1000).c_str(), 0);
    av_dict_set(&options, "rtsp_transport", transport.c_str(), 0);
    av_dict_set(&options, "allowed_media_types", "video", 0);
    av_dict_set(&options, "buffer_size", udp_buffer_bytes, 0);
    if (paused)
        av_dict_set(&options, "initial_pause", "1", 0);
    arm(wait_ms);
    const int r = avformat_open_input(&context, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (r < 0) {
        context = nullptr;  // freed by avformat_open_input
        return fail_open(r);
    }

    stream_index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_index < 0) {
        close();
        error = "no video stream";
        return open_result_t::failed;
    }
    for (unsigned i = 0; i < context->nb_streams; i++)
        if (int(i) != stream_index)
            context->streams[i]->discard = AVDISCARD_ALL;
    return open_result_t::ok;
}

AVRational av_source_obj::frame_rate() const
{
    const AVStream* st = context->streams[stream_index];
    return st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
}

read_result_t av_source_obj::read(AVPacket* packet)
{
    if (!context)
        return read_result_t::failed;
    for (;;) {
        av_packet_unref(packet);
        arm(uint64_t(wait_ms) * read_wait_factor);
        const int r = av_read_frame(context, packet);
        if (r >= 0) {
            if (packet->stream_index == stream_index)
                return read_result_t::packet;
            continue;
        }
        error = av_error_text(r);
        if (stop->raised())
            return read_result_t::stopped;
        return r == AVERROR_EOF ? read_result_t::end : read_result_t::failed;
    }
}

void av_source_obj::close()
{
    if (!context)
        return;
    closing = true;
    arm(std::min(wait_ms, close_limit_ms));
    avformat_close_input(&context);
    stream_index = -1;
}

}  // namespace

std::unique_ptr<stream_source_obj> make_av_source(const std::string& url, const char* transport,
                                                  stop_signal_t* stop, bool paused)
{
    return std::make_unique<av_source_obj>(url, transport, stop, paused);
}
