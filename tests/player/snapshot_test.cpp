// Snapshots and photos: the byte sink's bounds, the size and quality rules,
// frame_to_jpeg on a real player picture of the synthetic camera and on the
// demo drawing (JPEGs decoded and compared with their source), the cache of
// shared JPEGs, and camera photos through a real connection.
#include <gtest/gtest.h>

#include <QColor>
#include <QGuiApplication>
#include <QImage>

#include <climits>
#include <cstdlib>
#include <functional>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "camera/connection.h"
#include "camera/sdk.h"
#include "player/ms_t.h"
#include "player/picture_bitmap.h"
#include "player/player.h"
#include "player/snapshot.h"
#include "player/video_state.h"
#include "tests/support/camera_test_util.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr int picture_wait_ms = 15000;

// ---- ms_t -----------------------------------------------------------------

TEST(ms_t_sink, writes_stay_inside_the_buffer)
{
    ms_t sink(10);
    const char bytes[] = "0123456789ABCDEF";
    EXPECT_EQ(sink.write(bytes, 2, 3), 3u);  // item count, not bytes
    EXPECT_EQ(sink.position, 6);
    EXPECT_EQ(sink.write(bytes + 6, 1, 4), 4u);  // exactly to the end
    EXPECT_FALSE(sink.refused);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sink.data), 10), "0123456789");
    sink.seek(6, 0);
    // 6 + 5 > 10: dropped whole, and so is every later write, even one that
    // would fit.
    EXPECT_EQ(sink.write("abcde", 1, 5), 5u);
    EXPECT_TRUE(sink.refused);
    EXPECT_EQ(sink.write("xy", 1, 2), 2u);
    EXPECT_EQ(sink.position, 6);
    EXPECT_EQ(sink.length, 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sink.data), 10), "0123456789");
    // A size times count that wraps 32 bits is no small write.
    ms_t other(10);
    other.write(bytes, 0x10000, 0x10000);
    EXPECT_TRUE(other.refused);
    EXPECT_EQ(other.length, 0);
    sink.reset();
    EXPECT_FALSE(sink.refused);
    EXPECT_EQ(sink.length, 0);
    EXPECT_EQ(sink.tell(), 0);
}

TEST(ms_t_sink, seek_origins_and_rewrites)
{
    struct step_t {
        int64_t offset;
        int32_t origin;
        int32_t result;
        int32_t position;
    };
    ms_t sink(100);
    const char bytes[20] = {};
    sink.write(bytes, 1, 20);
    const step_t steps[] = {
        {5, 0, 0, 5},    {3, 1, 0, 8},  {-2, 2, 0, 18}, {0, 3, 1, 18},  // unknown origin
        {-1, 0, 1, 18},  {101, 0, 1, 18}, {100, 0, 0, 100}, {0, 0, 0, 0},
    };
    for (const step_t& s : steps) {
        EXPECT_EQ(sink.seek(s.offset, s.origin), s.result) << s.offset << " " << s.origin;
        EXPECT_EQ(sink.position, s.position) << s.offset << " " << s.origin;
    }
    // Rewriting the start does not make the content longer than written.
    sink.write(bytes, 1, 10);
    EXPECT_EQ(sink.length, 20);
    sink.seek(0, 2);
    sink.write(bytes, 1, 5);
    EXPECT_EQ(sink.length, 25);
}

// ---- size and quality rules -------------------------------------------------

TEST(snapshot_rules, output_size)
{
    struct case_t {
        int32_t source_w, source_h, w, h;
        bool keep;
        bool ok;
        int32_t out_w, out_h;
    };
    const case_t cases[] = {
        {1280, 720, 640, 640, true, true, 640, 360},
        {1280, 720, 1000, 100, true, true, 177, 100},
        {1280, 720, 640, 360, true, true, 640, 360},  // equal ratios: height recomputed
        {1280, 720, 0, 0, false, true, 8, 8},
        {1280, 720, -5, 3, false, true, 8, 8},
        {1280, 720, 0, 0, true, true, 8, 4},  // the minimum comes before the fit
        {1280, 720, 8192, 8192, false, true, 8192, 8192},
        {1280, 720, 8193, 100, false, false, 0, 0},
        {1280, 720, 100000, 100000, false, false, 0, 0},
        {1280, 720, 100, INT32_MAX, true, false, 0, 0},
        {0, 720, 100, 100, false, false, 0, 0},
        {1280, -1, 100, 100, false, false, 0, 0},
        {8193, 720, 100, 100, false, false, 0, 0},
        {8192, 8, 8, 8, true, false, 0, 0},  // the fit would lose a side
    };
    for (const case_t& c : cases) {
        int32_t w = c.w, h = c.h;
        const std::string label = std::to_string(c.source_w) + "x" + std::to_string(c.source_h) +
                                  " into " + std::to_string(c.w) + "x" + std::to_string(c.h);
        ASSERT_EQ(snapshot_size(c.source_w, c.source_h, c.keep, w, h), c.ok) << label;
        if (c.ok) {
            EXPECT_EQ(w, c.out_w) << label;
            EXPECT_EQ(h, c.out_h) << label;
        }
    }
}

TEST(snapshot_rules, quality_is_clamped)
{
    const std::pair<int32_t, int32_t> cases[] = {
        {0, 1}, {-5, 1}, {INT32_MIN, 1}, {1, 1}, {50, 50}, {100, 100}, {250, 100}, {INT32_MAX, 100}};
    for (auto [asked, used] : cases)
        EXPECT_EQ(snapshot_quality(asked), used) << asked;
}

// ---- pictures -----------------------------------------------------------------

QImage decode(const uint8_t* data, int32_t length)
{
    return QImage::fromData(data, length, "JPEG").convertToFormat(QImage::Format_RGB32);
}

QImage decode_stream() { return decode(snapshot_stream.data, snapshot_stream.length); }

// Mean colour of a cell of a cols x rows grid over the image.
QColor cell_mean(const QImage& image, int col, int row, int cols, int rows)
{
    const int x0 = image.width() * col / cols, x1 = image.width() * (col + 1) / cols;
    const int y0 = image.height() * row / rows, y1 = image.height() * (row + 1) / rows;
    int64_t r = 0, g = 0, b = 0, n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, ++n) {
            const QRgb p = image.pixel(x, y);
            r += qRed(p);
            g += qGreen(p);
            b += qBlue(p);
        }
    return n ? QColor(int(r / n), int(g / n), int(b / n)) : QColor();
}

int colour_distance(const QColor& a, const QColor& b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())});
}

// The largest cell difference between two pictures on a 4 x 4 grid.
int grid_difference(const QImage& a, const QImage& b)
{
    int worst = 0;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            worst = std::max(worst, colour_distance(cell_mean(a, col, row, 4, 4), cell_mean(b, col, row, 4, 4)));
    return worst;
}

// player_get_bmp's picture as an image, top row first.
QImage image_of_bmp(const std::vector<uint8_t>& bmp, int32_t w, int32_t h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int32_t y = 0; y < h; ++y)
        std::memcpy(image.scanLine(h - 1 - y), bmp.data() + player_bmp_header_size + size_t(y) * w * 4,
                    size_t(w) * 4);
    return image;
}

const overlay_info_t server_up{"127.0.0.1", 8080, true, 35};

// The program's state for camera-mode snapshots: a player port fed with a
// recorded synthetic stream, standing still after its last block.
class camera_snapshot : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        stream = new recorded_stream_t(record_synthetic_stream("test://320x240@25", 12));
    }
    static void TearDownTestSuite()
    {
        delete stream;
        stream = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(stream->blocks.empty());
        // The web server's routes ask for pictures; these tests call the
        // snapshot below them.
        player_hold_pictures(true);
        port = open_player(stream->header, nullptr);
        ASSERT_GE(port, 0);
        feed(port, *stream, 0, 6);
        ASSERT_TRUE(wait_for([&] { return settled(); }, picture_wait_ms));
        player_port = port;
        preview_handle = 0;
        demo_mode_on = false;
        player_get_picture_size(port, &picture_width, &picture_height);
        clear_snapshot_cache();
    }
    void TearDown() override
    {
        player_port = -1;
        preview_handle = -1;
        close_player(port);
        player_hold_pictures(false);
    }

    // The picture has stopped changing: every fed block is decoded.
    bool settled()
    {
        const uint64_t before = player_picture_serial(port);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        return before != 0 && player_picture_serial(port) == before;
    }

    QImage source_image()
    {
        int32_t w = 0, h = 0;
        const std::vector<uint8_t> bmp = bmp_of(port, &w, &h);
        return image_of_bmp(bmp, w, h);
    }

    static recorded_stream_t* stream;
    int32_t port = -1;
};

recorded_stream_t* camera_snapshot::stream = nullptr;

TEST_F(camera_snapshot, jpeg_shows_the_players_picture_at_the_requested_size)
{
    const QImage source = source_image();
    // The test needs a picture that is neither flat nor symmetric top to
    // bottom, or a flipped or channel-swapped JPEG would pass unnoticed.
    ASSERT_GT(grid_difference(source, source.mirrored(false, true)), 40);
    ASSERT_GT(grid_difference(source, source.rgbSwapped()), 40);

    struct case_t {
        int32_t w, h;
        bool keep;
        int out_w, out_h;
    };
    const case_t cases[] = {{0, 0, false, 8, 8}, {160, 120, false, 160, 120},
                            {640, 200, true, 266, 200}, {320, 240, false, 320, 240}};
    for (const case_t& c : cases) {
        ASSERT_TRUE(frame_to_jpeg(c.w, c.h, c.keep, 90, server_up)) << c.w;
        const QImage jpeg = decode_stream();
        ASSERT_FALSE(jpeg.isNull());
        EXPECT_EQ(jpeg.width(), c.out_w);
        EXPECT_EQ(jpeg.height(), c.out_h);
        if (c.out_w >= 160) {
            EXPECT_LT(grid_difference(jpeg, source), 24) << c.w << "x" << c.h;
        }
    }
}

TEST_F(camera_snapshot, quality_reaches_the_encoder_clamped)
{
    auto jpeg_at = [](int32_t quality) {
        EXPECT_TRUE(frame_to_jpeg(320, 240, false, quality, server_up));
        return std::string(reinterpret_cast<char*>(snapshot_stream.data), size_t(snapshot_stream.length));
    };
    const std::string q1 = jpeg_at(1);
    const std::string q100 = jpeg_at(100);
    EXPECT_LT(q1.size() * 3, q100.size());
    EXPECT_EQ(jpeg_at(0), q1);
    EXPECT_EQ(jpeg_at(-5), q1);
    EXPECT_EQ(jpeg_at(INT32_MIN), q1);
    EXPECT_EQ(jpeg_at(250), q100);
    // Two calls leave only the second JPEG.
    jpeg_at(100);
    EXPECT_EQ(jpeg_at(1), q1);
    EXPECT_EQ(decode_stream().width(), 320);
}

TEST_F(camera_snapshot, no_picture_without_preview_port_or_source_size)
{
    preview_handle = -1;
    EXPECT_FALSE(frame_to_jpeg(100, 100, false, 50, server_up));
    preview_handle = 0;
    player_port = -1;
    EXPECT_FALSE(frame_to_jpeg(100, 100, false, 50, server_up));
    player_port = port;
    // A size measured before the picture changed its size still gives the
    // size asked for: the picture is scaled from what was decoded.
    picture_width += 16;
    ASSERT_TRUE(frame_to_jpeg(100, 60, false, 50, server_up));
    EXPECT_EQ(decode_stream().size(), QSize(100, 60));
    picture_width -= 16;
    picture_height = 0;
    EXPECT_FALSE(frame_to_jpeg(100, 100, false, 50, server_up));
}

TEST_F(camera_snapshot, shared_jpeg_encodes_once_per_picture_size_and_quality)
{
    const uint64_t start = snapshot_encodes();
    jpeg_view_t first, again, other_size, other_quality, aspect_same_size;
    ASSERT_TRUE(shared_jpeg(160, 120, false, 50, server_up, first));
    ASSERT_TRUE(shared_jpeg(160, 120, false, 50, server_up, again));
    EXPECT_EQ(snapshot_encodes(), start + 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data), size_t(first.length)),
              std::string(reinterpret_cast<const char*>(again.data), size_t(again.length)));
    // A box that fits to the same output size is the same JPEG.
    ASSERT_TRUE(shared_jpeg(160, 500, true, 50, server_up, aspect_same_size));
    EXPECT_EQ(snapshot_encodes(), start + 1);
    ASSERT_TRUE(shared_jpeg(80, 60, false, 50, server_up, other_size));
    ASSERT_TRUE(shared_jpeg(160, 120, false, 70, server_up, other_quality));
    EXPECT_EQ(snapshot_encodes(), start + 3);
    EXPECT_EQ(decode(other_size.data, other_size.length).width(), 80);

    // A newly decoded picture is encoded again.
    const uint64_t serial = player_picture_serial(port);
    feed(port, *stream, 6, 12);
    ASSERT_TRUE(wait_for([&] { return player_picture_serial(port) != serial; }, picture_wait_ms));
    jpeg_view_t fresh;
    ASSERT_TRUE(shared_jpeg(160, 120, false, 50, server_up, fresh));
    EXPECT_EQ(snapshot_encodes(), start + 4);
}

TEST(snapshot_sink, jpeg_that_does_not_fit_fails_the_encode)
{
    QImage image(200, 200, QImage::Format_RGB32);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x)
            image.setPixel(x, y, qRgb((x * 37) & 255, (y * 91) & 255, (x * y) & 255));
    FIBITMAP* bitmap = allocate_picture(200, 200);
    ASSERT_TRUE(read_image(image, bitmap));
    ms_t small(1000);
    EXPECT_FALSE(encode_jpeg(bitmap, 90, small));
    EXPECT_TRUE(small.refused);
    EXPECT_LE(small.length, 1000);
    ms_t roomy(1 << 20);
    EXPECT_TRUE(encode_jpeg(bitmap, 90, roomy));
    EXPECT_FALSE(roomy.refused);
    unload_bitmap(bitmap);
}

// ---- demo drawing -------------------------------------------------------------

class demo_snapshot : public ::testing::Test {
public:
    void SetUp() override
    {
        demo_mode_on = true;
        preview_handle = -1;
        picture_width = 640;
        picture_height = 480;
        clear_snapshot_cache();
    }
    void TearDown() override { demo_mode_on = false; }
};

// Pixels of the image that are clearly of the given kind.
int count_pixels(const QImage& image, const std::function<bool(QRgb)>& kind)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += kind(image.pixel(x, y)) ? 1 : 0;
    return n;
}

bool is_red(QRgb p) { return qRed(p) > 180 && qGreen(p) < 90 && qBlue(p) < 90; }
bool is_white(QRgb p) { return qRed(p) > 200 && qGreen(p) > 200 && qBlue(p) > 200; }

TEST_F(demo_snapshot, overlay_at_the_client_size_with_the_server_line_red_only_when_down)
{
    overlay_info_t down = server_up;
    down.active = false;
    for (const overlay_info_t& info : {server_up, down}) {
        ASSERT_TRUE(frame_to_jpeg(640, 480, false, 90, info));
        const QImage jpeg = decode_stream();
        ASSERT_EQ(jpeg.size(), QSize(640, 480));
        // Navy background in the corners, white text where the lines are.
        for (QPoint corner : {QPoint(5, 5), QPoint(634, 474)})
            EXPECT_LT(colour_distance(QColor(jpeg.pixel(corner)), QColor(0, 0, 0x80)), 12);
        const QImage text = jpeg.copy(40, 45, 500, 400);
        EXPECT_GT(count_pixels(text, is_white), 2000);
        // Line 4 ("active: ...") is the only one that can be red.
        const int red = count_pixels(jpeg.copy(40, 195, 400, 45), is_red);
        if (info.active)
            EXPECT_EQ(red, 0);
        else
            EXPECT_GT(red, 200);
        EXPECT_EQ(count_pixels(jpeg.copy(40, 45, 500, 145), is_red), 0);
    }
}

TEST_F(demo_snapshot, drawing_follows_the_client_size_and_changes_with_the_repaint_period)
{
    picture_width = 300;
    picture_height = 100;
    jpeg_view_t view;
    ASSERT_TRUE(shared_jpeg(0, 0, false, 80, server_up, view));
    EXPECT_EQ(decode(view.data, view.length).size(), QSize(8, 8));
    ASSERT_TRUE(shared_jpeg(600, 600, true, 80, server_up, view));
    EXPECT_EQ(decode(view.data, view.length).size(), QSize(600, 200));

    const uint64_t before = snapshot_encodes();
    std::this_thread::sleep_for(std::chrono::milliseconds(demo_repaint_ms + 50));
    ASSERT_TRUE(shared_jpeg(600, 600, true, 80, server_up, view));
    EXPECT_EQ(snapshot_encodes(), before + 1);
    // Another server state is another picture.
    overlay_info_t down = server_up;
    down.active = false;
    ASSERT_TRUE(shared_jpeg(600, 600, true, 80, down, view));
    EXPECT_GE(snapshot_encodes(), before + 2);

    picture_width = 0;
    EXPECT_FALSE(shared_jpeg(100, 100, false, 80, server_up, view));
}

// ---- photos -------------------------------------------------------------------

class camera_photo : public ::testing::Test {
public:
    void SetUp() override
    {
        dir = folder.path();
        sdk_init();
        settings_t s;
        s.ipc_ip = "test://640x360@25";
        ASSERT_TRUE(connect_camera(s));
        // Nobody looks: each photo has its picture decoded for it.
        ASSERT_TRUE(wait_for(
            [] {
                mt_guard_t guard(player_lock);
                return player_port >= 0;
            },
            picture_wait_ms));
    }
    void TearDown() override
    {
        disconnect_camera();
    }
    kestrel_test::temp_folder_t folder{"kestrel-photo"};
    std::string dir;  // the photo folder
};

TEST_F(camera_photo, photo_at_its_size_code_or_none)
{
    struct case_t {
        uint16_t size, quality;
        int w, h;  // 0: no photo
    };
    const case_t cases[] = {{0, 0, 352, 288}, {1, 2, 176, 144}, {18, 1, 960, 576},
                            {19, 2, 1920, 1080}, {20, 0, 0, 0}, {5, 3, 0, 0}};
    for (const case_t& c : cases) {
        const std::string path = dir + "/" + std::to_string(c.size) + "-" + std::to_string(c.quality) + ".jpg";
        jpeg_params_t params{c.size, c.quality};
        ASSERT_EQ(sdk_capture_jpeg(login_handle, 1, &params, path.c_str()), c.w > 0) << c.size;
        const QImage photo(QString::fromStdString(path), "JPEG");
        EXPECT_EQ(photo.size(), QSize(c.w, c.h)) << c.size;  // a null image is 0 x 0
        EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    }
    const std::string path = dir + "/photo.jpg";
    jpeg_params_t good{5, 0};
    EXPECT_FALSE(sdk_capture_jpeg(login_handle + 1, 1, &good, path.c_str()));
    EXPECT_FALSE(sdk_capture_jpeg(login_handle, 1, nullptr, path.c_str()));
    EXPECT_FALSE(sdk_capture_jpeg(login_handle, 1, &good, (dir + "/no/such/folder/photo.jpg").c_str()));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A failed save leaves an earlier photo of the same name alone.
    ASSERT_TRUE(sdk_capture_jpeg(login_handle, 1, &good, path.c_str()));
    const auto size = std::filesystem::file_size(path);
    std::filesystem::create_directory(path + ".part");  // the save cannot write its file
    EXPECT_FALSE(sdk_capture_jpeg(login_handle, 1, &good, path.c_str()));
    EXPECT_EQ(std::filesystem::file_size(path), size);

    disconnect_camera();
    EXPECT_FALSE(sdk_capture_jpeg(login_handle, 1, &good, path.c_str()));
}

}  // namespace

int main(int argc, char** argv)
{
    // The demo drawing needs fonts, which need a GUI application; no test
    // here needs a display (test discovery runs without the environment).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
