// The stream format's writer and reader, and the address rule, as tables.
#include <gtest/gtest.h>

#include <cstring>

#include "camera/camera_address.h"
#include "player/stream_format.h"

namespace {

stream_header_t sample_header()
{
    stream_header_t h;
    h.codec_id = 27;  // H.264
    h.width = 1920;
    h.height = 1080;
    h.time_base_num = 1;
    h.time_base_den = 90000;
    h.frame_rate_num = 25;
    h.frame_rate_den = 1;
    h.extradata = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68};
    return h;
}

TEST(stream_format, header_survives_the_round_trip)
{
    const stream_header_t in = sample_header();
    const std::vector<uint8_t> bytes = write_stream_header(in);
    stream_header_t out;
    ASSERT_TRUE(read_stream_header(bytes.data(), uint32_t(bytes.size()), &out));
    EXPECT_EQ(out.codec_id, in.codec_id);
    EXPECT_EQ(out.width, in.width);
    EXPECT_EQ(out.height, in.height);
    EXPECT_EQ(out.time_base_den, in.time_base_den);
    EXPECT_EQ(out.frame_rate_num, in.frame_rate_num);
    EXPECT_EQ(out.extradata, in.extradata);
}

// Each row damages a valid header at one byte offset (or cuts it) and must
// be refused.
struct header_damage_t {
    const char* name;
    size_t offset;     // byte to change, or the length to cut to
    int value;         // new byte value; -1 = cut at offset
};

class header_damage_test : public ::testing::TestWithParam<header_damage_t> {};

TEST_P(header_damage_test, is_refused)
{
    std::vector<uint8_t> bytes = write_stream_header(sample_header());
    const header_damage_t& d = GetParam();
    if (d.value < 0)
        bytes.resize(d.offset);
    else
        bytes[d.offset] = uint8_t(d.value);
    stream_header_t out;
    EXPECT_FALSE(read_stream_header(bytes.data(), uint32_t(bytes.size()), &out));
}

INSTANTIATE_TEST_SUITE_P(
    cases, header_damage_test,
    ::testing::Values(header_damage_t{"empty", 0, -1}, header_damage_t{"cut_in_fixed_part", 39, -1},
                      header_damage_t{"cut_in_extradata", 45, -1},
                      header_damage_t{"magic", 0, 'x'}, header_damage_t{"version", 4, 9},
                      header_damage_t{"fixed_size_too_small", 6, 8},
                      header_damage_t{"fixed_size_beyond_end", 7, 0xff},
                      header_damage_t{"codec_zero", 8, 0},
                      header_damage_t{"negative_width", 15, 0x80},
                      header_damage_t{"huge_height", 18, 0x7f},
                      header_damage_t{"zero_time_base", 20, 0},
                      header_damage_t{"extradata_size_too_big", 36, 12},
                      header_damage_t{"extradata_size_huge", 39, 0x10}),
    [](const ::testing::TestParamInfo<header_damage_t>& info) { return info.param.name; });

TEST(stream_format, header_with_trailing_bytes_is_refused)
{
    std::vector<uint8_t> bytes = write_stream_header(sample_header());
    bytes.push_back(0);
    stream_header_t out;
    EXPECT_FALSE(read_stream_header(bytes.data(), uint32_t(bytes.size()), &out));
}

TEST(stream_format, packet_survives_the_round_trip_and_damage_is_refused)
{
    const uint8_t payload[5] = {1, 2, 3, 4, 5};
    std::vector<uint8_t> block(stream_packet_header_size + sizeof payload);
    write_packet_header(block.data(), stream_no_timestamp, -7, stream_packet_key, sizeof payload);
    std::copy(payload, payload + sizeof payload, block.begin() + stream_packet_header_size);

    stream_packet_t p;
    ASSERT_TRUE(read_packet(block.data(), uint32_t(block.size()), &p));
    EXPECT_EQ(p.pts, stream_no_timestamp);
    EXPECT_EQ(p.dts, -7);
    EXPECT_EQ(p.flags, stream_packet_key);
    ASSERT_EQ(p.size, sizeof payload);
    EXPECT_EQ(0, std::memcmp(p.payload, payload, sizeof payload));

    EXPECT_FALSE(read_packet(block.data(), uint32_t(block.size() - 1), &p));  // truncated
    EXPECT_FALSE(read_packet(block.data(), stream_packet_header_size, &p));   // no payload
    block.push_back(0);
    EXPECT_FALSE(read_packet(block.data(), uint32_t(block.size()), &p));  // trailing byte
    block.pop_back();
    block[1] = 'X';
    EXPECT_FALSE(read_packet(block.data(), uint32_t(block.size()), &p));  // magic
    EXPECT_FALSE(read_packet(nullptr, 100, &p));
}

struct url_case_t {
    const char* address;
    uint16_t port;
    int32_t channel;
    int32_t link_mode;
    const char* url;
    const char* transport;
};

class url_test : public ::testing::TestWithParam<url_case_t> {};

TEST_P(url_test, follows_the_address_rule)
{
    const url_case_t& c = GetParam();
    EXPECT_EQ(camera_stream_url(c.address, c.port, c.channel, link_mode_sub_stream(c.link_mode)),
              c.url);
    EXPECT_STREQ(link_mode_transport(c.link_mode), c.transport);
}

INSTANTIATE_TEST_SUITE_P(
    cases, url_test,
    ::testing::Values(
        url_case_t{"127.0.0.1", 8000, 1, 0, "rtsp://127.0.0.1:8000/ch1/main", "tcp"},
        url_case_t{"127.0.0.1", 554, 2, int32_t(0x80000001u), "rtsp://127.0.0.1:554/ch2/sub",
                   "udp"},
        url_case_t{"::1", 554, 1, 2, "rtsp://[::1]:554/ch1/main", "udp_multicast"},
        url_case_t{"camera.local", 8554, 3, 3, "rtsp://camera.local:8554/ch3/main", "udp+tcp"},
        url_case_t{"rtsp://127.0.0.5/live?x=1", 8000, 1, int32_t(0x80000000u),
                   "rtsp://127.0.0.5/live?x=1", "tcp"},
        url_case_t{"test://640x480@10", 8000, 1, 77, "test://640x480@10", "udp+tcp"}));

TEST(camera_address, credentials_are_escaped_and_never_replace_the_urls_own)
{
    EXPECT_EQ(url_with_credentials("rtsp://h:1/p", "ad min", "p@ss:w/rd%"),
              "rtsp://ad%20min:p%40ss%3Aw%2Frd%25@h:1/p");
    EXPECT_EQ(url_with_credentials("rtsp://u:v@h:1/p", "admin", "x"), "rtsp://u:v@h:1/p");
    EXPECT_EQ(url_with_credentials("rtsp://h:1/p@q", "admin", "x"), "rtsp://admin:x@h:1/p@q");
    EXPECT_EQ(url_with_credentials("rtsp://h:1/p", "", "x"), "rtsp://h:1/p");
    EXPECT_EQ(url_for_log("rtsp://admin:secret@h:1/p"), "rtsp://h:1/p");
    EXPECT_EQ(url_for_log("rtsp://h:1/p@q"), "rtsp://h:1/p@q");
    EXPECT_EQ(url_for_log("rtsp://u:p@ss@h:1/p"), "rtsp://h:1/p");
    EXPECT_EQ(url_for_log("test://u:p@160x120@5"), "test://160x120@5");
    EXPECT_EQ(url_for_log("test://160x120@5"), "test://160x120@5");
}

struct test_address_case_t {
    const char* address;
    bool valid;
    int32_t width, height, fps;
    const char* user;  // nullptr: no credentials
    const char* password;
};

class test_address_test : public ::testing::TestWithParam<test_address_case_t> {};

TEST_P(test_address_test, parses)
{
    const test_address_case_t& c = GetParam();
    test_camera_shape_t shape;
    ASSERT_EQ(parse_test_address(c.address, &shape), c.valid);
    if (!c.valid)
        return;
    EXPECT_EQ(shape.width, c.width);
    EXPECT_EQ(shape.height, c.height);
    EXPECT_EQ(shape.fps, c.fps);
    EXPECT_EQ(shape.has_credentials, c.user != nullptr);
    if (c.user) {
        EXPECT_EQ(shape.user, c.user);
        EXPECT_EQ(shape.password, c.password);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, test_address_test,
    ::testing::Values(test_address_case_t{"test://", true, 640, 360, 25, nullptr, nullptr},
                      test_address_case_t{"test://1920x1080@30/", true, 1920, 1080, 30, nullptr,
                                          nullptr},
                      test_address_case_t{"test://321x241", true, 320, 240, 25, nullptr, nullptr},
                      test_address_case_t{"test://u:p@160x120@5", true, 160, 120, 5, "u", "p"},
                      test_address_case_t{"test://u:@", true, 640, 360, 25, "u", ""},
                      test_address_case_t{"test://abc", false, 0, 0, 0, nullptr, nullptr},
                      test_address_case_t{"test://10x10", false, 0, 0, 0, nullptr, nullptr},
                      test_address_case_t{"test://640x480@0", false, 0, 0, 0, nullptr, nullptr},
                      test_address_case_t{"test://640x480@", false, 0, 0, 0, nullptr, nullptr},
                      test_address_case_t{"test://99999x480", false, 0, 0, 0, nullptr, nullptr},
                      test_address_case_t{"rtsp://640x480", false, 0, 0, 0, nullptr, nullptr}));

}  // namespace
