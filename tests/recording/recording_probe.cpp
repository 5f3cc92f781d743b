// ffprobe and ffmpeg run as child processes on the recorded files; the
// packets are made with libavcodec's H.264 encoder.
#include "tests/recording/recording_probe.h"

#include "tests/support/child_process.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

std::string quoted(const std::string& text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The command's standard output, whatever its exit status.
std::string run(const std::string& command)
{
    std::string out;
    kestrel_test::run_command(command, out);
    return out;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::string value_of(const std::string& text, const std::string& key)
{
    for (const std::string& line : lines_of(text))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return "";
}

}  // namespace

probed_file_t probe_file(const std::string& path)
{
    probed_file_t p;
    const std::string probe = "ffprobe -v error -select_streams v:0 ";
    const std::string stream = run(probe + "-show_entries stream=codec_name,width,height,time_base "
                                           "-of default=nw=1 " + quoted(path) + " 2>&1");
    p.valid = value_of(stream, "codec_name") == "h264";
    p.width = atoi(value_of(stream, "width").c_str());
    p.height = atoi(value_of(stream, "height").c_str());
    int num = 0, den = 0;
    if (sscanf(value_of(stream, "time_base").c_str(), "%d/%d", &num, &den) != 2 || den == 0)
        p.valid = false;

    int64_t ticks = 0;
    for (const std::string& line : lines_of(run(probe + "-show_entries packet=dts,duration "
                                                        "-of csv=p=0 " + quoted(path)))) {
        long long dts = 0, duration = 0;
        if (sscanf(line.c_str(), "%lld,%lld", &dts, &duration) == 2) {
            p.dts.push_back(dts);
            ticks += duration;
        }
    }
    if (den != 0)
        p.duration_s = double(ticks) * num / den;

    int key = 0;
    double pts = -1;
    if (sscanf(run(probe + "-show_frames -read_intervals %+#1 -show_entries frame=key_frame,pts_time "
                           "-of csv=p=0 " + quoted(path)).c_str(),
               "%d,%lf", &key, &pts) == 2) {
        p.first_frame_key = key == 1;
        p.first_pts_s = pts;
    }
    p.decode_errors = run("ffmpeg -nostdin -v error -i " + quoted(path) + " -f null - 2>&1");
    return p;
}

::testing::AssertionResult plays_cleanly(const std::string& path)
{
    const probed_file_t p = probe_file(path);
    if (!p.valid)
        return ::testing::AssertionFailure() << path << ": ffprobe finds no H.264 stream";
    if (p.dts.empty())
        return ::testing::AssertionFailure() << path << ": no packets";
    if (!p.first_frame_key || p.first_pts_s != 0)
        return ::testing::AssertionFailure() << path << ": first frame key " << p.first_frame_key
                                             << " at " << p.first_pts_s << " s";
    if (!p.decode_errors.empty())
        return ::testing::AssertionFailure() << path << ": " << p.decode_errors;
    for (size_t i = 1; i < p.dts.size(); i++)
        if (p.dts[i] <= p.dts[i - 1])
            return ::testing::AssertionFailure() << path << ": dts " << p.dts[i] << " after "
                                                 << p.dts[i - 1];
    return ::testing::AssertionSuccess();
}

small_disk_t::small_disk_t(const std::string& size)
{
    if (mount("tmpfs", folder.prefix().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0)
        mounted_ = true;
    else
        why_ = "can not mount a tmpfs on " + folder.prefix() + " (" + std::strerror(errno) +
               "): this test needs root and mount permission";
}

small_disk_t::~small_disk_t()
{
    if (mounted_)
        umount2(folder.prefix().c_str(), MNT_DETACH);
}

uint64_t small_disk_t::free_bytes() const
{
    struct statvfs fs;
    if (statvfs(folder.prefix().c_str(), &fs) != 0)
        return 0;
    return uint64_t(fs.f_bavail) * fs.f_frsize;
}

std::vector<std::string> files_in(const std::string& folder, const std::string& suffix)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

encoded_stream_t::encoded_stream_t(int width, int height, int fps, int gop, int frames,
                                   bool in_band)
    : time_base{1, fps}
{
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* encoder = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame* frame = av_frame_alloc();
    if (!encoder || !frame)
        return;
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = time_base;
    encoder->gop_size = gop;
    encoder->keyint_min = gop;
    encoder->max_b_frames = 0;
    if (!in_band)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoder->priv_data, "x264-params", "scenecut=0", 0);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (avcodec_open2(encoder, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
        parameters = avcodec_parameters_alloc();
        avcodec_parameters_from_context(parameters, encoder);
        for (int i = 0; i <= frames; i++) {
            if (i < frames) {
                av_frame_make_writable(frame);
                for (int y = 0; y < height; y++)
                    for (int x = 0; x < width; x++)
                        frame->data[0][y * frame->linesize[0] + x] = uint8_t(x + y + 3 * i);
                for (int plane = 1; plane < 3; plane++)
                    for (int y = 0; y < height / 2; y++)
                        std::fill_n(frame->data[plane] + y * frame->linesize[plane], width / 2,
                                    uint8_t(128 + i % 64));
                frame->pts = i;
            }
            avcodec_send_frame(encoder, i < frames ? frame : nullptr);
            AVPacket* packet = av_packet_alloc();
            while (packet && avcodec_receive_packet(encoder, packet) == 0) {
                packets.push_back(packet);
                packet = av_packet_alloc();
            }
            av_packet_free(&packet);
        }
    }
    av_frame_free(&frame);
    avcodec_free_context(&encoder);
}

encoded_stream_t::~encoded_stream_t()
{
    for (AVPacket*& packet : packets)
        av_packet_free(&packet);
    avcodec_parameters_free(&parameters);
}
