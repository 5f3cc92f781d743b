// The synthetic camera: colour bars, a box that moves across them, and the
// UTC time of day with tenths in seven-segment digits, so that every frame
// differs from the one before. Drawn straight into YUV 4:2:0 and encoded with
// libavcodec's H.264 encoder at its fastest, lowest-latency settings, with a
// key frame every second.
#include "camera/synthetic_camera.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace {

using clock_t_ = std::chrono::steady_clock;

// Y, U, V of the eight bars: white, yellow, cyan, green, magenta, red, blue, grey.
constexpr uint8_t bar_colours[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16},
                                       {145, 54, 34},   {106, 202, 222}, {81, 90, 240},
                                       {41, 240, 110},  {128, 128, 128}};

// Segments a..g of the digits 0-9 as bits 0..6.
constexpr uint8_t digit_segments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

struct rect_t {
    int x, y, w, h;  // in luma pixels
};

class synthetic_camera_obj final : public stream_source_obj {
public:
    synthetic_camera_obj(const test_camera_shape_t& shape, stop_signal_t* stop)
        : shape(shape), stop(stop)
    {
    }
    ~synthetic_camera_obj() override { close(); }

    open_result_t open(const connect_limits_t& limits) override;
    const AVCodecParameters* codec_parameters() const override { return parameters; }
    AVRational time_base() const override { return {1, shape.fps}; }
    AVRational frame_rate() const override { return {shape.fps, 1}; }
    read_result_t read(AVPacket* packet) override;
    void close() override;
    std::string last_error() const override { return error; }

private:
    bool open_encoder();
    void draw_frame();
    void fill(const rect_t& r, const uint8_t yuv[3]);
    void draw_digit(int digit, int x, int y, int w, int h);
    void draw_clock();

    test_camera_shape_t shape;                  // picture size and rate
    stop_signal_t* stop;                      // the owner's stop request
    AVCodecContext* encoder = nullptr;        // the H.264 encoder, null when closed
    AVCodecParameters* parameters = nullptr;  // what the encoder produces
    AVFrame* frame = nullptr;                 // the picture being drawn
    int64_t frame_index = 0;                  // frames sent to the encoder
    clock_t_::time_point start;               // when frame 0 was due
    std::string error;                        // why open failed
};

open_result_t synthetic_camera_obj::open(const connect_limits_t&)
{
    close();
    if (!open_encoder()) {
        close();
        return open_result_t::failed;
    }
    frame_index = 0;
    start = clock_t_::now();
    return open_result_t::ok;
}

bool synthetic_camera_obj::open_encoder()
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec || !(encoder = avcodec_alloc_context3(codec))) {
        error = "no H.264 encoder";
        return false;
    }
    encoder->width = shape.width;
    encoder->height = shape.height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, shape.fps};
    encoder->framerate = {shape.fps, 1};
    encoder->gop_size = shape.fps;
    encoder->max_b_frames = 0;
    encoder->thread_count = 2;
    // The stream header carries SPS and PPS as extradata.
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder->priv_data, "crf", "26", 0);
    if (avcodec_open2(encoder, codec, nullptr) < 0) {
        error = "can not open the H.264 encoder";
        return false;
    }
    parameters = avcodec_parameters_alloc();
    frame = av_frame_alloc();
    if (!parameters || !frame || avcodec_parameters_from_context(parameters, encoder) < 0) {
        error = "out of memory";
        return false;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = shape.width;
    frame->height = shape.height;
    if (av_frame_get_buffer(frame, 0) < 0) {
        error = "out of memory";
        return false;
    }
    return true;
}

read_result_t synthetic_camera_obj::read(AVPacket* packet)
{
    if (!encoder)
        return read_result_t::failed;
    av_packet_unref(packet);
    for (;;) {
        const int r = avcodec_receive_packet(encoder, packet);
        if (r == 0)
            return read_result_t::packet;
        if (r != AVERROR(EAGAIN))
            return read_result_t::failed;

        // Paced by the clock; after a long stall the schedule starts anew
        // instead of sending a burst of stale frames.
        const auto period = std::chrono::microseconds(1000000 / shape.fps);
        auto due = start + frame_index * period;
        if (clock_t_::now() - due > std::chrono::seconds(1)) {
            start = clock_t_::now() - frame_index * period;
            due = clock_t_::now();
        }
        if (!stop->sleep_until(due))
            return read_result_t::stopped;
        if (av_frame_make_writable(frame) < 0)
            return read_result_t::failed;
        draw_frame();
        frame->pts = frame_index++;
        if (avcodec_send_frame(encoder, frame) < 0)
            return read_result_t::failed;
    }
}

void synthetic_camera_obj::close()
{
    avcodec_free_context(&encoder);
    avcodec_parameters_free(&parameters);
    av_frame_free(&frame);
}

void synthetic_camera_obj::fill(const rect_t& r, const uint8_t yuv[3])
{
    const int x0 = std::clamp(r.x, 0, shape.width), x1 = std::clamp(r.x + r.w, 0, shape.width);
    const int y0 = std::clamp(r.y, 0, shape.height), y1 = std::clamp(r.y + r.h, 0, shape.height);
    if (x0 >= x1 || y0 >= y1)
        return;
    for (int y = y0; y < y1; y++)
        std::memset(frame->data[0] + y * frame->linesize[0] + x0, yuv[0], size_t(x1 - x0));
    for (int plane = 1; plane < 3; plane++)
        for (int y = y0 / 2; y < (y1 + 1) / 2; y++)
            std::memset(frame->data[plane] + y * frame->linesize[plane] + x0 / 2, yuv[plane],
                        size_t((x1 + 1) / 2 - x0 / 2));
}

void synthetic_camera_obj::draw_frame()
{
    const int bar_width = (shape.width + 7) / 8;
    for (int i = 0; i < 8; i++)
        fill({i * bar_width, 0, bar_width, shape.height}, bar_colours[i]);

    // One box width per second across the picture.
    const int box = std::max(shape.height / 6, 8);
    const int travel = shape.width + box;
    const int x = int((frame_index * box / shape.fps) % travel) - box;
    static constexpr uint8_t black[3] = {16, 128, 128};
    fill({x, shape.height / 8, box, box}, black);
    draw_clock();
}

void synthetic_camera_obj::draw_digit(int digit, int x, int y, int w, int h)
{
    static constexpr uint8_t white[3] = {235, 128, 128};
    const int t = std::max(w / 5, 2);
    const int half = h / 2;
    const rect_t segments[7] = {
        {x + t, y, w - 2 * t, t},                 // a: top
        {x + w - t, y + t, t, half - t},          // b: upper right
        {x + w - t, y + half, t, half - t},       // c: lower right
        {x + t, y + h - t, w - 2 * t, t},         // d: bottom
        {x, y + half, t, half - t},               // e: lower left
        {x, y + t, t, half - t},                  // f: upper left
        {x + t, y + half - t / 2, w - 2 * t, t},  // g: middle
    };
    for (int s = 0; s < 7; s++)
        if (digit_segments[digit] & (1 << s))
            fill(segments[s], white);
}

// "hh mm ss t" on a dark band in the lower part of the picture.
void synthetic_camera_obj::draw_clock()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    const int tenths = int(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000) / 100;
    const int digits[7] = {utc.tm_hour / 10, utc.tm_hour % 10, utc.tm_min / 10, utc.tm_min % 10,
                           utc.tm_sec / 10, utc.tm_sec % 10, tenths};

    const int h = std::max(shape.height / 8, 10);
    const int w = h / 2;
    const int gap = w / 2;
    const int group_gap = w;  // between hours, minutes, seconds and tenths
    const int total = 7 * (w + gap) + 3 * group_gap;
    int x = (shape.width - total) / 2;
    const int y = shape.height - 2 * h;
    static constexpr uint8_t band[3] = {40, 128, 128};
    fill({x - gap, y - gap, total + gap, h + 2 * gap}, band);
    for (int i = 0; i < 7; i++) {
        draw_digit(digits[i], x, y, w, h);
        x += w + gap + ((i == 1 || i == 3 || i == 5) ? group_gap : 0);
    }
}

}  // namespace

std::unique_ptr<stream_source_obj> make_synthetic_camera(const test_camera_shape_t& shape,
                                                         stop_signal_t* stop)
{
    return std::make_unique<synthetic_camera_obj>(shape, stop);
}
