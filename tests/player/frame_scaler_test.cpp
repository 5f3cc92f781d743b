// The frame scaler on pictures made here: colours land in the right place
// and channel either way up, odd sizes write nothing outside their rows
// while more sizes than the scaler keeps contexts for alternate, and a
// full-range picture keeps its levels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "player/frame_scaler.h"

namespace {

struct yuv_t {
    uint8_t y, u, v;
};
struct bgr_t {
    int b, g, r;
};

// BT.601 studio-range colours of the four quadrants, and what they show.
constexpr yuv_t red{81, 90, 240}, green{145, 54, 34}, blue{41, 240, 110}, white{235, 128, 128};
constexpr bgr_t red_bgr{0, 0, 255}, green_bgr{0, 255, 0}, blue_bgr{255, 0, 0},
    white_bgr{255, 255, 255};

// A 4:2:0 picture: red top left, green top right, blue bottom left, white
// bottom right.
AVFrame* quadrants(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P)
{
    AVFrame* f = av_frame_alloc();
    f->width = width;
    f->height = height;
    f->format = format;
    if (av_frame_get_buffer(f, 0) < 0)
        std::abort();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            const yuv_t c = bottom ? (right ? white : blue) : (right ? green : red);
            f->data[0][y * f->linesize[0] + x] = c.y;
            f->data[1][y / 2 * f->linesize[1] + x / 2] = c.u;
            f->data[2][y / 2 * f->linesize[2] + x / 2] = c.v;
        }
    return f;
}

AVFrame* grey(uint8_t level, AVPixelFormat format)
{
    AVFrame* f = quadrants(32, 32, format);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? 16 : 32); ++y)
            for (int x = 0; x < (p ? 16 : 32); ++x)
                f->data[p][y * f->linesize[p] + x] = p ? 128 : level;
    return f;
}

// Packed rows of a given layout in a buffer with guard bytes on both sides.
struct packed_t {
    int width, height, bpp;
    std::vector<uint8_t> bytes;
    static constexpr size_t guard = 64;
    packed_t(int w, int h, int bytes_per_pixel)
        : width(w), height(h), bpp(bytes_per_pixel),
          bytes(2 * guard + size_t(w) * h * bytes_per_pixel, 0xA5)
    {
    }
    int stride() const { return width * bpp; }
    uint8_t* rows() { return bytes.data() + guard; }
    // Top row at the start, or at the end for bottom-up storage.
    uint8_t* top_row(bool bottom_up) { return rows() + (bottom_up ? size_t(height - 1) * stride() : 0); }
    bgr_t at(int x, int y, bool bottom_up) const
    {
        const int row = bottom_up ? height - 1 - y : y;
        const uint8_t* p = bytes.data() + guard + size_t(row) * stride() + size_t(x) * bpp;
        return {p[0], p[1], p[2]};
    }
    bool guards_intact() const
    {
        for (size_t i = 0; i < guard; ++i)
            if (bytes[i] != 0xA5 || bytes[bytes.size() - 1 - i] != 0xA5)
                return false;
        return true;
    }
};

void expect_near(bgr_t got, bgr_t want, const char* where)
{
    EXPECT_NEAR(got.b, want.b, 12) << where;
    EXPECT_NEAR(got.g, want.g, 12) << where;
    EXPECT_NEAR(got.r, want.r, 12) << where;
}

void expect_quadrants(const packed_t& out, bool bottom_up)
{
    const int left = out.width / 4, right = out.width * 3 / 4;
    const int top = out.height / 4, bottom = out.height * 3 / 4;
    expect_near(out.at(left, top, bottom_up), red_bgr, "top left");
    expect_near(out.at(right, top, bottom_up), green_bgr, "top right");
    expect_near(out.at(left, bottom, bottom_up), blue_bgr, "bottom left");
    expect_near(out.at(right, bottom, bottom_up), white_bgr, "bottom right");
}

}  // namespace

TEST(frame_scaler, colours_land_in_place_either_way_up_in_both_layouts)
{
    AVFrame* in = quadrants(128, 64);
    frame_scaler_t scaler;
    for (bool bottom_up : {false, true})
        for (packed_layout_t layout : {packed_layout_t::bgr, packed_layout_t::bgra})
            for (int w : {128, 40}) {
                SCOPED_TRACE(testing::Message() << "bottom_up " << bottom_up << " width " << w
                                                << " bgra " << (layout == packed_layout_t::bgra));
                packed_t out(w, w / 2, layout == packed_layout_t::bgra ? 4 : 3);
                ASSERT_TRUE(scaler.scale(in, out.width, out.height, layout, out.top_row(bottom_up),
                                         bottom_up ? -out.stride() : out.stride()));
                expect_quadrants(out, bottom_up);
                EXPECT_TRUE(out.guards_intact());
            }
    av_frame_free(&in);
}

TEST(frame_scaler, odd_sizes_in_turn_write_only_their_own_rows)
{
    AVFrame* in = quadrants(1920, 1080);
    frame_scaler_t scaler;
    // More sizes than the scaler keeps contexts for, twice round: evicted
    // contexts are made again and kept ones give the same result.
    const int sizes[][2] = {{1, 1}, {7, 5}, {33, 17}, {641, 359}, {100, 3}, {3, 100}};
    for (int round = 0; round < 2; ++round)
        for (const auto& size : sizes) {
            SCOPED_TRACE(testing::Message() << size[0] << " x " << size[1]);
            packed_t out(size[0], size[1], 3);
            ASSERT_TRUE(scaler.scale(in, out.width, out.height, packed_layout_t::bgr,
                                     out.top_row(true), -out.stride()));
            EXPECT_TRUE(out.guards_intact());
            if (out.width >= 8 && out.height >= 8)
                expect_quadrants(out, true);
        }
    // A destination row shorter than the picture's row is refused.
    packed_t small(8, 8, 3);
    EXPECT_FALSE(scaler.scale(in, 8, 8, packed_layout_t::bgr, small.rows(), 8 * 3 - 1));
    EXPECT_FALSE(scaler.scale(in, 0, 8, packed_layout_t::bgr, small.rows(), 8 * 3));
    EXPECT_FALSE(scaler.scale(nullptr, 8, 8, packed_layout_t::bgr, small.rows(), 8 * 3));
    EXPECT_TRUE(small.guards_intact());
    av_frame_free(&in);
}

TEST(frame_scaler, full_range_pictures_keep_their_levels)
{
    struct case_t {
        AVPixelFormat format;
        uint8_t level;
        int shown;  // the grey level expected on screen
    };
    const case_t cases[] = {
        {AV_PIX_FMT_YUV420P, 235, 255},  {AV_PIX_FMT_YUV420P, 16, 0},
        {AV_PIX_FMT_YUV420P, 126, 128},  {AV_PIX_FMT_YUVJ420P, 235, 235},
        {AV_PIX_FMT_YUVJ420P, 16, 16},   {AV_PIX_FMT_YUVJ420P, 128, 128},
    };
    frame_scaler_t scaler;
    for (const case_t& c : cases)
        for (int side : {32, 12}) {  // as is, and resized
            AVFrame* in = grey(c.level, c.format);
            in->color_range = c.format == AV_PIX_FMT_YUVJ420P ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
            packed_t out(side, side, 4);
            ASSERT_TRUE(scaler.scale(in, side, side, packed_layout_t::bgra, out.rows(), out.stride()));
            const bgr_t got = out.at(side / 2, side / 2, false);
            SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " side " << side
                                            << (c.format == AV_PIX_FMT_YUVJ420P ? " full" : " studio"));
            EXPECT_NEAR(got.g, c.shown, 3);
            EXPECT_NEAR(got.b, got.r, 2);
            av_frame_free(&in);
        }
}

TEST(frame_scaler, a_huge_picture_gives_its_memory_back)
{
    AVFrame* in = quadrants(640, 360);
    frame_scaler_t scaler;
    std::vector<uint8_t> small(320 * 180 * 3), huge(size_t(4096) * 4096 * 3);
    ASSERT_TRUE(scaler.scale(in, 320, 180, packed_layout_t::bgr, small.data(), 320 * 3));
    const size_t usual = scaler.kept_bytes();
    EXPECT_GT(usual, 0u);
    ASSERT_TRUE(scaler.scale(in, 4096, 4096, packed_layout_t::bgr, huge.data(), 4096 * 3));
    EXPECT_EQ(huge[(size_t(4095) * 4096 + 4095) * 3], 255);  // white, bottom right
    EXPECT_LE(scaler.kept_bytes(), usual);
    av_frame_free(&in);
}
