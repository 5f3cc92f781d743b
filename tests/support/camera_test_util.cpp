// The shared camera test helpers.
#include "tests/support/camera_test_util.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "camera/sdk.h"
#include "player/stream_format.h"
#include "stream/media_av.h"
#include "stream/packet_fanout.h"
#include "tests/support/wait.h"

bool wait_for(const std::function<bool()>& cond, int limit_ms)
{
    return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::milliseconds(limit_ms)), cond);
}

void counting_surface_t::draw_picture(const uint8_t* bgra, int32_t width, int32_t height,
                                      int32_t stride)
{
    std::lock_guard<std::mutex> lock(mutex);
    drawn++;
    drawn_width = width;
    drawn_height = height;
    top_down.resize(size_t(width) * 4 * size_t(height));
    for (int32_t y = 0; y < height; y++)
        std::memcpy(top_down.data() + size_t(y) * width * 4, bgra + size_t(y) * stride,
                    size_t(width) * 4);
}

bool counting_surface_t::drawing_size(int32_t* width, int32_t* height)
{
    *width = size_width;
    *height = size_height;
    return *width > 0;
}

namespace {

// The recorder's target while a stream is recorded: the stream header from
// the callback, each packet from the preview's fan-out, as data blocks of
// the player's byte format.
struct recorder_t final : packet_subscriber_t {
    std::mutex mutex;        // guards stream
    recorded_stream_t stream;

    void stream_started(const media_info_t&) override {}
    void stream_ended() override {}
    void stream_packet(const media_packet_t& packet, bool) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stream.header.empty())
            return;
        const AVPacket* p = packet.av;
        const bool key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        std::vector<uint8_t> block(stream_packet_header_size + size_t(p->size));
        write_packet_header(block.data(), p->pts, p->dts, key ? stream_packet_key : 0,
                            uint32_t(p->size));
        std::memcpy(block.data() + stream_packet_header_size, p->data, size_t(p->size));
        stream.key.push_back(key);
        stream.blocks.push_back(std::move(block));
    }
};

void record_callback(int32_t handle, uint32_t type, const uint8_t* bytes, uint32_t length,
                     void* user)
{
    auto* r = static_cast<recorder_t*>(user);
    if (type != sdk_stream_header)
        return;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->stream.header.assign(bytes, bytes + length);
    }
    if (const auto packets = sdk_preview_packets(handle))
        packets->subscribe(r);
}

}  // namespace

recorded_stream_t record_synthetic_stream(const std::string& address, size_t blocks)
{
    recorder_t recorder;
    sdk_init();
    const int32_t login = sdk_login(address.c_str(), 0, "", "", nullptr);
    preview_request_t request{1, 0, 0, 0};
    const int32_t preview = sdk_start_preview(login, &request, record_callback, &recorder, 0);
    wait_for(
        [&] {
            std::lock_guard<std::mutex> lock(recorder.mutex);
            return recorder.stream.blocks.size() >= blocks;
        },
        20000);
    if (const auto packets = sdk_preview_packets(preview))
        packets->unsubscribe(&recorder);
    sdk_stop_preview(preview);
    sdk_logout(login);
    return std::move(recorder.stream);
}

int32_t open_player(const std::vector<uint8_t>& header, video_surface_t* surface)
{
    int32_t port = -1;
    if (!player_get_port(&port))
        return -1;
    if (!player_set_stream_mode(port, 0) ||
        !player_open_stream(port, header.data(), uint32_t(header.size()), 1048576) ||
        !player_play(port, surface)) {
        player_free_port(port);
        return -1;
    }
    return port;
}

void close_player(int32_t port)
{
    player_stop(port);
    player_close_stream(port);
    player_free_port(port);
}

void feed(int32_t port, const recorded_stream_t& stream, size_t from, size_t to)
{
    for (size_t i = from; i < to && i < stream.blocks.size(); i++)
        player_input_data(port, stream.blocks[i].data(), uint32_t(stream.blocks[i].size()));
}

std::vector<uint8_t> bmp_of(int32_t port, int32_t* width, int32_t* height)
{
    *width = *height = 0;
    if (!player_get_picture_size(port, width, height))
        return {};
    std::vector<uint8_t> bmp(size_t(*width) * size_t(*height) * 4 + player_bmp_header_size);
    uint32_t written = 0;
    if (!player_get_bmp(port, bmp.data(), uint32_t(bmp.size()), &written))
        return {};
    bmp.resize(written);
    return bmp;
}

bool bmp_shows_pattern(const std::vector<uint8_t>& bmp)
{
    if (bmp.size() <= player_bmp_header_size)
        return false;
    uint64_t sum = 0;
    uint8_t lo = 255, hi = 0;
    size_t n = 0;
    for (size_t i = player_bmp_header_size; i < bmp.size(); i += 4) {
        for (int c = 0; c < 3; c++) {
            const uint8_t v = bmp[i + c];
            sum += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        n += 3;
    }
    return sum / n > 40 && hi - lo > 100;
}
