// The player layer fed with a recorded synthetic camera stream: the port
// life cycle, the picture queries, the late joiner, hostile input and data
// input racing against close and re-open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <thread>

#include "player/player.h"
#include "player/stream_format.h"
#include "tests/support/camera_test_util.h"

namespace {

constexpr int32_t width = 320;
constexpr int32_t height = 240;
constexpr int fps = 50;  // one key frame per second: block 0, block 50, ...

class player_test : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        stream = new recorded_stream_t(
            record_synthetic_stream("test://320x240@" + std::to_string(fps), 2 * fps + 10));
    }
    static void TearDownTestSuite() { delete stream; }
    void SetUp() override
    {
        ASSERT_FALSE(stream->header.empty());
        ASSERT_GE(stream->blocks.size(), size_t(2 * fps + 10));
        // The tests look at pictures as they are fed, like a visible window.
        player_hold_pictures(true);
    }
    void TearDown() override
    {
        for (int32_t p : ports)
            close_player(p);
        player_hold_pictures(false);
    }
    int32_t open(video_surface_t* surface)
    {
        const int32_t p = open_player(stream->header, surface);
        if (p >= 0)
            ports.push_back(p);
        return p;
    }

    static recorded_stream_t* stream;
    // A surface the decode thread may draw into until TearDown closes its
    // port: it outlives the test's body.
    counting_surface_t& new_surface() { return surfaces.emplace_back(); }

    std::deque<counting_surface_t> surfaces;
    std::vector<int32_t> ports;  // closed after each test
};

recorded_stream_t* player_test::stream = nullptr;

// The port's picture once the last fed pictures are decoded, so that later
// queries see the same one.
std::vector<uint8_t> last_fed_bmp(int32_t port)
{
    const uint64_t serial = player_picture_serial(port);
    wait_for([&] { return player_picture_serial(port) >= serial + 2; }, 1000);
    int32_t w = 0, h = 0;
    return bmp_of(port, &w, &h);
}

// The surface's last drawing is the bitmap's picture, top row first.
void expect_drawn(counting_surface_t& surface, const std::vector<uint8_t>& bmp)
{
    std::lock_guard<std::mutex> lock(surface.mutex);
    ASSERT_EQ(surface.drawn_width, width);
    ASSERT_EQ(surface.drawn_height, height);
    ASSERT_EQ(bmp.size(), player_bmp_header_size + size_t(width) * height * 4);
    const size_t row = size_t(width) * 4;
    for (int32_t y : {0, height / 2, height - 1})
        EXPECT_EQ(0, std::memcmp(bmp.data() + player_bmp_header_size + size_t(height - 1 - y) * row,
                                 surface.top_down.data() + size_t(y) * row, row))
            << "row " << y;
}

TEST_F(player_test, recorded_stream_has_a_key_frame_every_second)
{
    EXPECT_TRUE(stream->key[0]);
    EXPECT_FALSE(stream->key[1]);
    EXPECT_TRUE(stream->key[fps]);
}

TEST_F(player_test, decodes_into_a_bottom_up_bitmap_of_the_drawn_picture)
{
    counting_surface_t& surface = new_surface();
    const int32_t port = open(&surface);
    ASSERT_GE(port, 0);
    feed(port, *stream, 0, 10);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));

    int32_t w = 0, h = 0;
    std::vector<uint8_t> bmp = bmp_of(port, &w, &h);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    ASSERT_EQ(bmp.size(), player_bmp_header_size + size_t(w) * h * 4);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[10], player_bmp_header_size);
    EXPECT_EQ(bmp[28], 32);  // bits per pixel
    EXPECT_TRUE(bmp_shows_pattern(bmp));
    EXPECT_GT(surface.ready.load(), 0);

    bmp = last_fed_bmp(port);
    ASSERT_TRUE(player_refresh(port));
    expect_drawn(surface, bmp);
}

TEST_F(player_test, a_surface_given_after_decoding_draws_the_picture_already_there)
{
    const int32_t port = open(nullptr);
    ASSERT_GE(port, 0);
    feed(port, *stream, 0, 5);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    const std::vector<uint8_t> bmp = last_fed_bmp(port);
    ASSERT_TRUE(bmp_shows_pattern(bmp));

    // Pictures decoded without a surface were never converted for drawing.
    counting_surface_t& surface = new_surface();
    ASSERT_TRUE(player_play(port, &surface));
    ASSERT_TRUE(player_refresh(port));
    expect_drawn(surface, bmp);
}

// The surface's pictures are converted once, at its own size, to nearly the
// pixels a reader scales to that size (the surface's box average differs
// from the reader's bicubic filter only at edges); a surface larger than the
// picture gets the picture's own size.
TEST_F(player_test, surface_pictures_are_converted_at_the_surface_size)
{
    counting_surface_t& surface = new_surface();
    surface.size_width = width / 2;
    surface.size_height = height / 3;
    const int32_t port = open(&surface);
    ASSERT_GE(port, 0);
    feed(port, *stream, 0, 10);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    last_fed_bmp(port);
    ASSERT_TRUE(player_refresh(port));
    const int32_t w = width / 2, h = height / 3;
    std::vector<uint8_t> rows(size_t(w) * h * 3);
    ASSERT_TRUE(player_get_scaled_dib(port, w, h, rows.data(), w * 3));
    {
        std::lock_guard<std::mutex> lock(surface.mutex);
        ASSERT_EQ(surface.drawn_width, w);
        ASSERT_EQ(surface.drawn_height, h);
        // Top-down BGRA against bottom-up BGR: same colours, same way up.
        size_t differ = 0;
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                for (int32_t c = 0; c < 3; c++)
                    differ += std::abs(surface.top_down[(size_t(y) * w + x) * 4 + c] -
                                       rows[(size_t(h - 1 - y) * w + x) * 3 + c]) > 48;
        EXPECT_LT(differ, size_t(w) * h / 50);
    }

    surface.size_width = width * 2;
    surface.size_height = height * 2;
    const uint64_t serial = player_picture_serial(port);
    feed(port, *stream, 10, 14);
    ASSERT_TRUE(wait_for([&] { return player_picture_serial(port) > serial; }, 5000));
    ASSERT_TRUE(player_refresh(port));
    {
        std::lock_guard<std::mutex> lock(surface.mutex);
        EXPECT_EQ(surface.drawn_width, width);
        EXPECT_EQ(surface.drawn_height, height);
    }
    // Decoding may go on: the port ends before the surface does.
    close_player(port);
    ports.clear();
}

TEST_F(player_test, scaled_bitmap_rows_match_the_picture)
{
    const int32_t port = open(nullptr);
    ASSERT_GE(port, 0);
    std::vector<uint8_t> rows(size_t(width) * height * 3);
    EXPECT_FALSE(player_get_scaled_dib(port, width, height, rows.data(), width * 3));
    feed(port, *stream, 0, 5);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    const std::vector<uint8_t> bmp = last_fed_bmp(port);
    ASSERT_EQ(bmp.size(), player_bmp_header_size + size_t(width) * height * 4);

    // At the picture's own size: the bitmap's pixels without the fourth byte,
    // rows in the same order.
    ASSERT_TRUE(player_get_scaled_dib(port, width, height, rows.data(), width * 3));
    size_t differ = 0;
    for (size_t i = 0; i < size_t(width) * height; ++i)
        for (size_t c = 0; c < 3; ++c)
            differ += std::abs(rows[i * 3 + c] - bmp[player_bmp_header_size + i * 4 + c]) > 2;
    EXPECT_EQ(differ, 0u);

    // Half size, rows padded to a longer stride: each pixel is near the
    // average of the block it stands for, in the same corner.
    const int32_t half_w = width / 2, half_h = height / 2, stride = half_w * 3 + 8;
    std::vector<uint8_t> half(size_t(stride) * half_h);
    ASSERT_TRUE(player_get_scaled_dib(port, half_w, half_h, half.data(), stride));
    size_t far = 0;
    for (int32_t y = 2; y < half_h - 2; y += 7)
        for (int32_t x = 2; x < half_w - 2; x += 7)
            for (int32_t c = 0; c < 3; ++c) {
                int sum = 0;
                for (int32_t dy = 0; dy < 2; ++dy)
                    for (int32_t dx = 0; dx < 2; ++dx)
                        sum += bmp[player_bmp_header_size +
                                   (size_t(2 * y + dy) * width + size_t(2 * x + dx)) * 4 + c];
                far += std::abs(half[size_t(y) * stride + size_t(x) * 3 + c] - sum / 4) > 24;
            }
    EXPECT_LT(far, 20u);

    EXPECT_FALSE(player_get_scaled_dib(port, half_w, half_h, half.data(), half_w * 3 - 1));
    EXPECT_FALSE(player_get_scaled_dib(port, 0, half_h, half.data(), stride));
    EXPECT_FALSE(player_get_scaled_dib(port, half_w, half_h, nullptr, stride));
}

TEST_F(player_test, bitmap_needs_room_for_the_whole_picture)
{
    const int32_t port = open(nullptr);
    ASSERT_GE(port, 0);
    feed(port, *stream, 0, 3);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    std::vector<uint8_t> buffer(player_bmp_header_size + size_t(width) * height * 4);
    uint32_t written = 0;
    EXPECT_FALSE(player_get_bmp(port, buffer.data(), uint32_t(buffer.size() - 1), &written));
    EXPECT_FALSE(player_get_bmp(port, nullptr, uint32_t(buffer.size()), &written));
    EXPECT_TRUE(player_get_bmp(port, buffer.data(), uint32_t(buffer.size()), &written));
    EXPECT_EQ(written, buffer.size());
    // Decoding without a surface works; only drawing has nowhere to go.
    EXPECT_FALSE(player_refresh(port));
}

TEST_F(player_test, late_joiner_sees_nothing_before_the_next_key_frame)
{
    const int32_t port = open(nullptr);
    ASSERT_GE(port, 0);
    feed(port, *stream, 1, fps);  // inter frames only
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(player_has_picture(port), 0u);
    feed(port, *stream, fps, fps + 5);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    int32_t w, h;
    EXPECT_TRUE(bmp_shows_pattern(bmp_of(port, &w, &h)));
}

TEST_F(player_test, picture_changes_and_serial_grows)
{
    const int32_t port = open(nullptr);
    ASSERT_GE(port, 0);
    // With frame threads the decoder hands a picture out one packet late.
    feed(port, *stream, 0, 2);
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    int32_t w, h;
    const std::vector<uint8_t> first = bmp_of(port, &w, &h);
    const uint64_t first_serial = player_picture_serial(port);
    feed(port, *stream, 2, fps);
    ASSERT_TRUE(wait_for([&] { return player_picture_serial(port) >= first_serial + 20; }, 5000));
    EXPECT_NE(first, bmp_of(port, &w, &h));
}

// Without a consumer the data is kept, not decoded, and there is no picture;
// a consumer that comes later gets the newest picture at once, decoded from
// the last key frame, never an older one.
TEST_F(player_test, nothing_is_decoded_without_a_consumer_and_a_late_one_gets_the_newest_picture)
{
    constexpr size_t fed = fps + 20;  // a key frame at fps, then 19 inter frames
    const int32_t looked_at = open(nullptr);
    ASSERT_GE(looked_at, 0);
    feed(looked_at, *stream, 0, fed);
    // Every fed packet decoded: the picture stands still.
    ASSERT_TRUE(wait_for(
        [&] {
            const uint64_t before = player_picture_serial(looked_at);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return before != 0 && player_picture_serial(looked_at) == before;
        },
        10000));
    int32_t w = 0, h = 0;
    const std::vector<uint8_t> newest = bmp_of(looked_at, &w, &h);
    ASSERT_TRUE(bmp_shows_pattern(newest));
    close_player(looked_at);
    ports.clear();

    player_hold_pictures(false);
    counting_surface_t& surface = new_surface();
    const int32_t port = open(&surface);
    ASSERT_GE(port, 0);
    const uint64_t decoded = player_decoded_pictures();
    feed(port, *stream, 0, fed);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(player_decoded_pictures(), decoded);
    EXPECT_EQ(player_has_picture(port), 0u);
    EXPECT_FALSE(player_wait_picture(port, 100));
    EXPECT_EQ(surface.ready.load(), 0);

    ASSERT_TRUE(player_want_pictures(2000));
    ASSERT_TRUE(player_wait_picture(port, 5000));
    EXPECT_EQ(bmp_of(port, &w, &h), newest);
    // Only the packets from the last key frame on were decoded, and only the
    // newest picture was handed to the surface.
    EXPECT_LE(player_decoded_pictures() - decoded, fed - fps);
    EXPECT_TRUE(wait_for([&] { return surface.ready.load() > 0; }, 1000));
    EXPECT_EQ(surface.ready.load(), 1);

    // The passing consumer's time ends: the picture goes with the decoding.
    EXPECT_TRUE(wait_for([&] { return player_has_picture(port) == 0; }, 5000));
    close_player(port);
    ports.clear();
    player_hold_pictures(true);  // TearDown's release
}

TEST_F(player_test, port_life_cycle_and_unknown_ports)
{
    const uint8_t block[64] = {};
    int32_t w, h;
    uint32_t written;
    for (int32_t bad : {-1, 16, 1000}) {
        EXPECT_FALSE(player_set_stream_mode(bad, 0));
        EXPECT_FALSE(player_open_stream(bad, stream->header.data(),
                                        uint32_t(stream->header.size()), 1048576));
        EXPECT_FALSE(player_play(bad, nullptr));
        EXPECT_FALSE(player_input_data(bad, block, sizeof block));
        EXPECT_FALSE(player_stop(bad));
        EXPECT_FALSE(player_close_stream(bad));
        EXPECT_FALSE(player_free_port(bad));
        EXPECT_EQ(player_has_picture(bad), 0u);
        EXPECT_FALSE(player_refresh(bad));
        EXPECT_FALSE(player_get_picture_size(bad, &w, &h));
        EXPECT_FALSE(player_get_bmp(bad, nullptr, 0, &written));
        EXPECT_EQ(player_picture_serial(bad), 0u);
    }

    // Every port can be taken once; a freed one comes back.
    std::vector<int32_t> taken;
    int32_t p;
    while (player_get_port(&p))
        taken.push_back(p);
    EXPECT_EQ(taken.size(), 16u);
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(std::unique(taken.begin(), taken.end()), taken.end());
    // A taken port has no stream yet: play and data fail, the mode does not.
    EXPECT_FALSE(player_play(taken[0], nullptr));
    EXPECT_TRUE(player_set_stream_mode(taken[0], 0));
    EXPECT_FALSE(player_set_stream_mode(taken[0], 7));
    ASSERT_TRUE(player_free_port(taken[5]));
    EXPECT_FALSE(player_free_port(taken[5]));
    EXPECT_FALSE(player_set_stream_mode(taken[5], 0));
    ASSERT_TRUE(player_get_port(&p));
    EXPECT_EQ(p, taken[5]);
    // An open stream cannot be opened twice.
    ASSERT_TRUE(player_open_stream(p, stream->header.data(), uint32_t(stream->header.size()), 0));
    EXPECT_FALSE(player_open_stream(p, stream->header.data(), uint32_t(stream->header.size()), 0));
    for (int32_t t : taken)
        player_free_port(t);
}

TEST_F(player_test, hostile_headers_fail_cleanly)
{
    int32_t port = -1;
    ASSERT_TRUE(player_get_port(&port));
    ports.push_back(port);
    std::mt19937 random(12345);
    std::vector<uint8_t> header = stream->header;
    // Every truncation, random bytes, and a valid frame around a codec that
    // is not video (MP3) or not a codec at all.
    for (size_t n = 0; n < header.size(); n++)
        EXPECT_FALSE(player_open_stream(port, header.data(), uint32_t(n), 1048576)) << n;
    for (int i = 0; i < 200; i++) {
        std::vector<uint8_t> junk(random() % 200);
        for (auto& b : junk)
            b = uint8_t(random());
        EXPECT_FALSE(player_open_stream(port, junk.data(), uint32_t(junk.size()), 1048576));
    }
    stream_header_t parsed;
    ASSERT_TRUE(read_stream_header(header.data(), uint32_t(header.size()), &parsed));
    for (uint32_t codec : {0x15001u, 0x7fffffffu}) {
        parsed.codec_id = codec;
        const std::vector<uint8_t> bad = write_stream_header(parsed);
        EXPECT_FALSE(player_open_stream(port, bad.data(), uint32_t(bad.size()), 1048576));
    }
    // A header with garbage extradata may open; decoding must still be safe.
    parsed.codec_id = 27;
    parsed.extradata.assign(64, 0xff);
    const std::vector<uint8_t> odd = write_stream_header(parsed);
    if (player_open_stream(port, odd.data(), uint32_t(odd.size()), 1048576)) {
        player_play(port, nullptr);
        feed(port, *stream, 0, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Data keeps coming while nothing decodes: the queue overflows again and
// again, and what is left still starts at a key frame.
TEST_F(player_test, flooded_port_recovers_at_a_key_frame)
{
    int32_t port = -1;
    ASSERT_TRUE(player_get_port(&port));
    ports.push_back(port);
    ASSERT_TRUE(player_open_stream(port, stream->header.data(), uint32_t(stream->header.size()),
                                   1048576));
    for (int round = 0; round < 4; round++)
        feed(port, *stream, 0, stream->blocks.size());
    ASSERT_TRUE(player_play(port, nullptr));
    ASSERT_TRUE(wait_for([&] { return player_has_picture(port) != 0; }, 5000));
    int32_t w, h;
    EXPECT_TRUE(bmp_shows_pattern(bmp_of(port, &w, &h)));
}

// Damaged data never crashes the player, and it goes on decoding the good
// stream that follows.
TEST_F(player_test, damaged_data_is_survived)
{
    counting_surface_t& surface = new_surface();
    const int32_t port = open(&surface);
    ASSERT_GE(port, 0);
    std::mt19937 random(777);
    for (size_t i = 0; i < 60; i++) {
        std::vector<uint8_t> block = stream->blocks[i % stream->blocks.size()];
        switch (i % 4) {
        case 0:  // random bytes, no framing
            for (auto& b : block)
                b = uint8_t(random());
            break;
        case 1:  // cut short
            block.resize(block.size() / 2);
            break;
        case 2:  // framing intact, payload bits flipped
            for (int k = 0; k < 20; k++)
                block[stream_packet_header_size + random() % (block.size() - stream_packet_header_size)] ^=
                    uint8_t(1 << (random() % 8));
            break;
        default:  // framing intact, payload random
            for (size_t k = stream_packet_header_size; k < block.size(); k++)
                block[k] = uint8_t(random());
        }
        player_input_data(port, block.data(), uint32_t(block.size()));
    }
    player_input_data(port, nullptr, 100);
    player_input_data(port, stream->blocks[0].data(), 0);
    const uint64_t before = player_picture_serial(port);
    feed(port, *stream, fps, fps + 10);
    EXPECT_TRUE(wait_for([&] { return player_picture_serial(port) > before; }, 5000));
}

// Data keeps arriving while another thread closes and re-opens the stream
// and a third queries the picture: the sanitizer builds look for the race.
TEST_F(player_test, input_races_with_close_reopen_and_queries)
{
    std::atomic<int32_t> current{open(nullptr)};
    ASSERT_GE(current.load(), 0);
    ports.clear();  // closed by the test itself
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t i = 0; !done; i = (i + 1) % stream->blocks.size())
            player_input_data(current.load(), stream->blocks[i].data(),
                              uint32_t(stream->blocks[i].size()));
    });
    std::thread reader([&] {
        std::vector<uint8_t> buffer(player_bmp_header_size + size_t(width) * height * 4);
        uint32_t written;
        int32_t w, h;
        while (!done) {
            const int32_t p = current.load();
            player_has_picture(p);
            player_get_picture_size(p, &w, &h);
            player_get_bmp(p, buffer.data(), uint32_t(buffer.size()), &written);
            player_picture_serial(p);
        }
    });
    for (int i = 0; i < 30; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int32_t old = current.load();
        close_player(old);
        current = open_player(stream->header, nullptr);
        if (current.load() < 0) {
            ADD_FAILURE() << "re-open failed";
            break;
        }
    }
    done = true;
    feeder.join();
    reader.join();
    close_player(current.load());
}

}  // namespace
