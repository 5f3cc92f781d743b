// The main window on the offscreen platform, in this process: the fallback
// picture ("NO SIGNAL", demo overlay) through the back buffer, resize, the
// context menu's captions and visibility, and the timer semantics.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QTest>

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "service/form_timer.h"
#include "app/main_form_unit.h"
#include "player/player.h"
#include "player/video_state.h"
#include "settings/settings.h"
#include "tests/support/kestrel_process.h"

namespace {

std::string own_path()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The form reads the configuration file beside this test executable.
void write_own_cfg(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    kestrel_test::write_file(own_path() + ".cfg", text);
}

std::vector<std::string> quiet_cfg(bool demo)
{
    return {"ip=127.0.0.1", "port=" + std::to_string(kestrel_test::free_loopback_port()),
            std::string("demo=") + (demo ? "true" : "false"),
            // A camera that is never there, tried rarely.
            "ipc_ip=127.0.0.1", "ipc_port=" + std::to_string(kestrel_test::free_loopback_port()),
            "recon_interval=100000", "width=400", "height=300"};
}

bool is_navy(QRgb pixel) { return qRed(pixel) == 0 && qGreen(pixel) == 0 && qBlue(pixel) == 0x80; }
bool is_white(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) > 200 && qBlue(pixel) > 200; }
bool is_red(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) < 60; }

// Counts pixels of a kind inside a rectangle of the image.
template <typename test_t>
int count_in(const QImage& image, QRect area, test_t test)
{
    int count = 0;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += test(image.pixel(x, y)) ? 1 : 0;
    return count;
}

QImage grab_window(Tmain_form& form)
{
    return form.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace

TEST(window, no_signal_is_white_text_centred_on_navy)
{
    write_own_cfg(quiet_cfg(false));
    Tmain_form form;
    ASSERT_EQ(form.windowTitle(), QStringLiteral("kestrel"));
    ASSERT_EQ(form.size(), QSize(400, 300));
    const QImage image = grab_window(form);
    ASSERT_EQ(image.size(), QSize(400, 300));
    // Corners navy, the text white around the centre and only there.
    EXPECT_TRUE(is_navy(image.pixel(2, 2)));
    EXPECT_TRUE(is_navy(image.pixel(397, 297)));
    EXPECT_GT(count_in(image, QRect(100, 120, 200, 60), is_white), 100);
    EXPECT_EQ(count_in(image, QRect(0, 0, 400, 100), is_white), 0);
    EXPECT_EQ(count_in(image, QRect(0, 200, 400, 100), is_white), 0);
    // Left and right halves of the text balance: it is centred.
    const int left = count_in(image, QRect(0, 120, 200, 60), is_white);
    const int right = count_in(image, QRect(200, 120, 200, 60), is_white);
    EXPECT_NEAR(left, right, (left + right) / 4);
    form.FormCloseQuery();
}

TEST(window, resize_stores_the_client_size_and_repaints_at_once)
{
    write_own_cfg(quiet_cfg(false));
    Tmain_form form;
    form.resize(640, 200);
    player_lock.enter();
    const int w = client_width, h = client_height;
    player_lock.leave();
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 200);
    const QImage image = grab_window(form);
    // The text moved to the new centre.
    EXPECT_GT(count_in(image, QRect(220, 70, 200, 60), is_white), 100);
    EXPECT_TRUE(is_navy(image.pixel(630, 190)));
    form.FormCloseQuery();
}

TEST(window, demo_overlay_shows_the_server_state_and_is_red_when_it_is_down)
{
    for (const bool server_up : {true, false}) {
        std::vector<std::string> cfg = quiet_cfg(true);
        // A port another socket listens on cannot be bound: the server stays down.
        const int holder = socket(AF_INET, SOCK_STREAM, 0);
        if (!server_up) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(listen(holder, 1), 0);
            ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
            cfg[1] = "port=" + std::to_string(ntohs(address.sin_port));
        }
        write_own_cfg(cfg);
        Tmain_form form;
        form.resize(800, 500);
        ASSERT_TRUE(form.demo_timer->enabled());
        ASSERT_FALSE(form.connect_timer->enabled());
        const QImage image = grab_window(form);
        // Eight lines from y = 50, 50 apart; line 4 starts at y = 200.
        EXPECT_GT(count_in(image, QRect(50, 50, 200, 40), is_white), 50);
        EXPECT_GT(count_in(image, QRect(50, 400, 400, 40), is_white), 50);
        const int red = count_in(image, QRect(50, 200, 400, 40), is_red);
        const int white = count_in(image, QRect(50, 200, 400, 40), is_white);
        if (server_up) {
            EXPECT_EQ(red, 0);
            EXPECT_GT(white, 50);
        } else {
            EXPECT_GT(red, 50);
            EXPECT_EQ(white, 0);
            // The colour returns to white after the red line.
            EXPECT_EQ(count_in(image, QRect(50, 250, 400, 40), is_red), 0);
        }
        form.FormCloseQuery();
        ::close(holder);
    }
}

TEST(window, menu_hides_recording_and_photo_without_preview_and_shows_alpha)
{
    write_own_cfg(quiet_cfg(true));
    Tmain_form form;
    form.PopupMenuPopup();
    EXPECT_FALSE(form.PopupMenu->actions().contains(form.start_stop_rec_itm));
    EXPECT_FALSE(form.PopupMenu->actions().contains(form.save_img_itm));
    EXPECT_EQ(form.start_stop_rec_itm->text(), QStringLiteral("Запустить запись видео"));
    EXPECT_EQ(form.start_stop_rec_itm->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(form.alpha_itm->text(), QStringLiteral("Прозрачность 0%"));
    // Demo mode shows the transparency item whatever the platform.
    EXPECT_TRUE(form.alpha_itm->isVisible());
    EXPECT_EQ(form.options_itm->text(), QStringLiteral("Настройки..."));
    EXPECT_EQ(form.close->text(), QStringLiteral("Закрыть"));
    form.FormCloseQuery();
}

bool window_has_picture()
{
    mt_guard_t guard(player_lock);
    return preview_handle >= 0 && player_port >= 0 && player_has_picture(player_port) != 0;
}

bool wait_window(const std::function<bool()>& cond)
{
    return QTest::qWaitFor(cond, 10000);
}

// The window's picture against the player's own scaling of the same
// picture to the client size, as 24-bit bottom-up rows: pixels that differ
// by more than the two filters' edges do (the window's box average, the
// snapshot's bicubic); colours or rows out of place differ everywhere.
int differing_from_player(Tmain_form& form)
{
    const int w = form.width(), h = form.height();
    std::vector<uint8_t> rows(size_t(w) * h * 3);
    int32_t port = -1;
    {
        mt_guard_t guard(player_lock);
        port = player_port;
    }
    // A moment with no new picture between the two reads; a matter of time.
    const auto deadline = kestrel_test::deadline_in(std::chrono::seconds(5));
    while (kestrel_test::test_clock::now() < deadline) {
        // The paint takes player_lock itself.
        const uint64_t serial = player_picture_serial(port);
        const QImage image = grab_window(form);
        if (!player_get_scaled_dib(port, w, h, rows.data(), w * 3) || player_picture_serial(port) != serial)
            continue;  // a newer picture came in between
        int differ = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const QRgb p = image.pixel(x, y);
                const uint8_t* b = rows.data() + (size_t(h - 1 - y) * w + x) * 3;
                differ += std::abs(qBlue(p) - b[0]) > 48 || std::abs(qGreen(p) - b[1]) > 48 ||
                          std::abs(qRed(p) - b[2]) > 48;
            }
        return differ;
    }
    return -1;
}

// The camera picture (larger than the window, so converted once to the
// client size and drawn as it is), its colours and orientation; minimised,
// the window stops the decoding, and restored it shows the live picture.
TEST(window, shows_the_camera_picture_at_the_client_size_and_again_after_minimising)
{
    std::vector<std::string> cfg = quiet_cfg(false);
    cfg[3] = "ipc_ip=test://640x480@25";
    write_own_cfg(cfg);
    Tmain_form form;
    // The first attempt runs 100 ms after the loop starts; the picture follows.
    ASSERT_TRUE(wait_window(window_has_picture));
    const QImage image = grab_window(form);
    // The test pattern's colour bars fill the client area: yellow and cyan
    // appear, and the navy fallback is gone.
    auto is_yellow = [](QRgb p) { return qRed(p) > 180 && qGreen(p) > 180 && qBlue(p) < 80; };
    auto is_cyan = [](QRgb p) { return qRed(p) < 80 && qGreen(p) > 180 && qBlue(p) > 180; };
    EXPECT_GT(count_in(image, image.rect(), is_yellow), 1000);
    EXPECT_GT(count_in(image, image.rect(), is_cyan), 1000);
    EXPECT_LT(count_in(image, image.rect(), is_navy), 100);
    const int few = form.width() * form.height() / 100;
    const int before = differing_from_player(form);
    EXPECT_GE(before, 0);
    EXPECT_LT(before, few);

    form.showMinimized();
    EXPECT_TRUE(wait_window([] { return !window_has_picture(); }));
    const uint64_t decoded = player_decoded_pictures();
    QTest::qWait(500);
    EXPECT_EQ(player_decoded_pictures(), decoded);
    form.showNormal();
    ASSERT_TRUE(wait_window(window_has_picture));
    const int after = differing_from_player(form);
    EXPECT_GE(after, 0);
    EXPECT_LT(after, few);

    form.FormCloseQuery();
    // After the close the camera is disconnected and the player port gone.
    EXPECT_LT(preview_handle, 0);
    EXPECT_LT(player_port, 0);
}

TEST(form_timer, interval_zero_is_enabled_but_never_fires)
{
    int fired = 0;
    form_timer_t timer(0, true, [&] { ++fired; });
    EXPECT_TRUE(timer.enabled());
    QTest::qWait(100);
    EXPECT_EQ(fired, 0);
    timer.set_interval(10);
    QTest::qWait(200);
    EXPECT_GT(fired, 2);
    timer.set_enabled(false);
    const int after_disable = fired;
    QTest::qWait(100);
    EXPECT_EQ(fired, after_disable);
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
