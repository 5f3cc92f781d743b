// The main window on a real X server with a real window manager: this
// executable starts its own Xvfb (on a display number the server picks, so
// runs never collide) and openbox, runs the form in-process on the xcb
// platform, clicks and drags with xdotool and reads the screen back.
// Full screen covers the screen and gives back the exact placement; compact
// mode keeps the picture in place; a double click at ordinary speed and a
// drag work through the window manager; with a compositing manager alpha 50
// blends the window with what lies behind it. Real key presses reach the
// recording and photo handlers whatever the menu showed before; the options
// dialog opens in the middle of the screen. Everything it starts it ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QAction>
#include <QImage>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/form_timer.h"
#include "app/main_form_unit.h"
#include "app/options_form_unit.h"
#include "player/player.h"
#include "player/video_state.h"
#include "settings/settings.h"
#include "tests/app/form_fixture.h"
#ifdef RTSP_TEST_SERVER
#include "tests/support/rtsp_server_process.h"
#endif

using form_fixture::quiet_cfg;
using form_fixture::write_own_cfg;

namespace {

const int screen_w = 1280;
const int screen_h = 800;

// The helper programs this test started, ended by their ids.
kestrel_test::child_process_t xvfb, window_manager, compositor;

// Starts a program with its output discarded; out_fd, when not -1, becomes
// the program's descriptor 3. The program ends with this process even when
// the test runner kills it.
bool spawn(kestrel_test::child_process_t& child, const std::vector<std::string>& args, int out_fd = -1)
{
    kestrel_test::child_options_t options;
    options.quiet = true;
    options.ends_with_parent = true;
    if (out_fd >= 0)
        options.extra_fds = {out_fd};
    return child.start(args, options);
}

// Starts Xvfb on a free display; returns its number, or -1.
int start_xvfb()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const std::string geometry = std::to_string(screen_w) + "x" + std::to_string(screen_h) + "x24";
    // dup2 onto 3 clears close-on-exec there; the pipe's own ends close.
    const bool started = spawn(xvfb, {"Xvfb", "-displayfd", "3", "-screen", "0", geometry, "-nolisten", "tcp"}, fds[1]);
    close(fds[1]);
    if (!started) {
        close(fds[0]);
        return -1;
    }
    // The server writes its display number and a newline once it accepts
    // connections; the pipe stays open until the newline is through, or the
    // server dies on the closed pipe.
    std::string text;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        text += c;
    close(fds[0]);
    return c == '\n' && !text.empty() ? std::atoi(text.c_str()) : -1;
}

// Xvfb names its display once it listens; clients may still be turned away
// for a moment after that.
bool display_accepts(const std::string& name)
{
    return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(5)), [&] {
        xcb_connection_t* c = xcb_connect(name.c_str(), nullptr);
        const bool ok = xcb_connection_has_error(c) == 0;
        xcb_disconnect(c);
        return ok;
    }, std::chrono::milliseconds(100));
}

xcb_connection_t* x_connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

// Whether a client owns the named selection (a window manager owns WM_S0,
// a compositing manager _NET_WM_CM_S0).
bool selection_owned(const char* name)
{
    xcb_connection_t* c = x_connection();
    if (c == nullptr)
        return false;
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    if (atom == nullptr)
        return false;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
    const bool owned = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    std::free(atom);
    return owned;
}

// The window manager owns WM_S0 early in its start, before it manages
// windows: a window mapped then may stay unmapped. It is ready once a probe
// window, shown again until it is, appears on the screen.
bool window_manager_ready()
{
    if (!QTest::qWaitFor([] { return selection_owned("WM_S0"); }, 10000))
        return false;
    QWidget probe;
    probe.resize(100, 100);
    return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(15)), [&] {
        probe.show();
        if (QTest::qWaitForWindowExposed(&probe, 1500))
            return true;
        probe.hide();
        return false;
    }, std::chrono::milliseconds(0));
}

// Runs xdotool with the arguments while the event loop goes on, so the
// form sees the clicks as they come.
bool xdotool(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), args);
    if (!process.waitForStarted(5000))
        return false;
    QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The window manager's frame around a window, as the X server has it (Qt's
// own frameGeometry can lag behind a change of decoration).
QRect wm_frame(const QWidget& form)
{
    xcb_connection_t* c = x_connection();
    xcb_window_t window = static_cast<xcb_window_t>(form.winId());
    xcb_window_t root = XCB_WINDOW_NONE;
    // Up to the child of the root window: that is the frame.
    for (int depth = 0; depth < 8; ++depth) {
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
        if (tree == nullptr)
            return QRect();
        root = tree->root;
        const xcb_window_t parent = tree->parent;
        std::free(tree);
        if (parent == root || parent == XCB_WINDOW_NONE)
            break;
        window = parent;
    }
    xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    if (g == nullptr)
        return QRect();
    const QRect frame(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
    std::free(g);
    return frame;
}

QImage screen_shot()
{
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
}

bool is_navy(QRgb p) { return qRed(p) < 8 && qGreen(p) < 8 && qBlue(p) > 120 && qBlue(p) < 136; }

// The client area's place on the screen, as the X server has it.
QRect client_on_screen(const Tmain_form& form)
{
    return QRect(form.mapToGlobal(QPoint(0, 0)), form.size());
}

std::string form_log() { return kestrel_test::read_file(form_fixture::own_path() + ".log"); }

size_t count_of(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Waits until the form's log holds the line ending n times.
bool log_reaches(const char* line_end, size_t n)
{
    return QTest::qWaitFor([&] { return count_of(form_log(), line_end) >= n; }, 15000);
}

// A demo-mode form (its picture is the navy overlay) shown and settled.
class x11_fixture : public ::testing::Test {
protected:
    void start_form(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> lines = extra;
        lines.push_back("width=640");
        lines.push_back("height=360");
        write_own_cfg(quiet_cfg(true, lines));
        form = std::make_unique<Tmain_form>();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        settle();
    }
    void TearDown() override
    {
        if (form) {
            form->FormCloseQuery();
            form.reset();
        }
    }
    // Lets the window manager's answers arrive.
    void settle() { QTest::qWait(300); }

    // A key as the keyboard gives it, to the form in front.
    void press(const char* key)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == form.get(); }, 3000));
        ASSERT_TRUE(xdotool({"key", QString::fromLatin1(key)}));
    }

    // Opens the context menu with a right click and closes it with Esc;
    // the items it showed.
    QList<QAction*> menu_as_opened()
    {
        QList<QAction*> items;
        const auto seen = QObject::connect(form->PopupMenu, &QMenu::aboutToHide, [&] {
            for (QAction* item : form->PopupMenu->actions())
                if (item->isVisible())
                    items.push_back(item);
        });
        const QPoint at = client_on_screen(*form).center();
        EXPECT_TRUE(xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "3",
                             "sleep", "0.5", "key", "Escape"}));
        QObject::disconnect(seen);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form->PopupMenu->isVisible(); }, 3000));
        return items;
    }

    std::unique_ptr<Tmain_form> form;
};

}  // namespace

TEST_F(x11_fixture, full_screen_covers_the_screen_and_gives_back_the_placement)
{
    start_form();
    form->move(150, 120);
    settle();
    const QRect before = form->geometry();
    const QRect frame_before = wm_frame(*form);
    ASSERT_GT(frame_before.height(), before.height());
    ASSERT_EQ(before.size(), QSize(640, 360));

    form->full_screen_mode_itm->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->geometry() == QRect(0, 0, screen_w, screen_h); }, 3000))
        << form->geometry().x() << "," << form->geometry().y() << " " << form->geometry().width() << "x"
        << form->geometry().height();
    settle();
    const QImage shot = screen_shot();
    for (const QPoint corner : {QPoint(2, 2), QPoint(screen_w - 3, 2), QPoint(2, screen_h - 3),
                                QPoint(screen_w - 3, screen_h - 3)})
        EXPECT_TRUE(is_navy(shot.pixel(corner))) << corner.x() << "," << corner.y();

    form->full_screen_mode_itm->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->geometry() == before; }, 3000));
    settle();
    EXPECT_EQ(form->geometry(), before);
    EXPECT_EQ(wm_frame(*form), frame_before);
    EXPECT_FALSE(is_navy(screen_shot().pixel(2, 2)));
}

TEST_F(x11_fixture, compact_mode_keeps_the_picture_where_it_was)
{
    start_form();
    form->move(200, 100);
    settle();
    const QRect client = client_on_screen(*form);
    // The frame's title bar lies above the client area.
    ASSERT_GT(client.top() - form->frameGeometry().top(), 5);

    form->compact_mode_itm->trigger();
    settle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client_on_screen(*form) == client; }, 3000))
        << client_on_screen(*form).x() << "," << client_on_screen(*form).y();
    QImage shot = screen_shot();
    EXPECT_TRUE(is_navy(shot.pixel(client.left() + 1, client.top() + 1)));
    // Where the title bar was, the screen behind shows.
    EXPECT_FALSE(is_navy(shot.pixel(client.left() + 20, client.top() - 3)));
    EXPECT_EQ(shot.pixel(client.left() + 20, client.top() - 3), shot.pixel(5, 5));

    form->compact_mode_itm->trigger();
    settle();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client_on_screen(*form) == client; }, 3000))
        << client_on_screen(*form).x() << "," << client_on_screen(*form).y();
    EXPECT_GT(client.top() - form->frameGeometry().top(), 5);
    shot = screen_shot();
    EXPECT_NE(shot.pixel(client.left() + 20, client.top() - 3), shot.pixel(5, 5));
}

TEST_F(x11_fixture, double_click_at_ordinary_speed_and_drag_through_the_window_manager)
{
    start_form({"compact_mode=true"});
    form->move(300, 200);
    settle();
    const QRect client = client_on_screen(*form);
    const QString x = QString::number(client.center().x());
    const QString y = QString::number(client.center().y());
    // Two clicks 120 ms apart, each press a would-be drag of the compact
    // window.
    ASSERT_TRUE(xdotool({"mousemove", x, y, "click", "--repeat", "2", "--delay", "120", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->geometry() == QRect(0, 0, screen_w, screen_h); }, 3000));
    EXPECT_TRUE(form->full_screen_mode_itm->isChecked());
    QTest::qWait(600);
    ASSERT_TRUE(xdotool({"mousemove", "640", "400", "click", "--repeat", "2", "--delay", "120", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return client_on_screen(*form) == client; }, 3000));
    EXPECT_FALSE(form->full_screen_mode_itm->isChecked());
    QTest::qWait(600);

    // A drag in the middle moves the window by about the pointer's travel
    // after the drag began; one at the bottom-right corner resizes it.
    ASSERT_TRUE(xdotool({"mousemove", x, y, "mousedown", "1", "sleep", "0.3", "mousemove",
                         QString::number(client.center().x() + 10), QString::number(client.center().y() + 5),
                         "sleep", "0.6", "mousemove", QString::number(client.center().x() + 110),
                         QString::number(client.center().y() + 55), "sleep", "0.6", "mouseup", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return client_on_screen(*form).topLeft() != client.topLeft(); }, 3000));
    settle();
    const QPoint moved = client_on_screen(*form).topLeft() - client.topLeft();
    EXPECT_NEAR(moved.x(), 100, 15);
    EXPECT_NEAR(moved.y(), 50, 15);
    EXPECT_EQ(form->size(), client.size());

    QTest::qWait(600);
    const QRect now = client_on_screen(*form);
    const QPoint corner = now.bottomRight() - QPoint(3, 3);
    ASSERT_TRUE(xdotool({"mousemove", QString::number(corner.x()), QString::number(corner.y()), "mousedown", "1",
                         "sleep", "0.3", "mousemove", QString::number(corner.x() + 5),
                         QString::number(corner.y() + 5), "sleep", "0.6", "mousemove",
                         QString::number(corner.x() + 85), QString::number(corner.y() + 45), "sleep", "0.6",
                         "mouseup", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->size() != client.size(); }, 3000));
    settle();
    EXPECT_EQ(client_on_screen(*form).topLeft(), now.topLeft());
    EXPECT_NEAR(form->width(), 640 + 80, 15);
    EXPECT_NEAR(form->height(), 360 + 40, 15);
}

TEST_F(x11_fixture, alpha_fifty_blends_only_with_a_compositing_manager)
{
    // Without one: the version rule says 5, demo mode still switches
    // blending on, but nothing shows through.
    ASSERT_FALSE(selection_owned("_NET_WM_CM_S0"));
    start_form({"alpha=50"});
    EXPECT_EQ(form->os_major_version, 5u);
    const QRect client = client_on_screen(*form);
    const QPoint probe = client.bottomLeft() + QPoint(20, -20);
    EXPECT_TRUE(is_navy(screen_shot().pixel(probe)));
    form->FormCloseQuery();
    form.reset();

    ASSERT_TRUE(spawn(compositor, {"xcompmgr"}));
    ASSERT_TRUE(QTest::qWaitFor([] { return selection_owned("_NET_WM_CM_S0"); }, 5000));
    start_form({"alpha=50"});
    EXPECT_EQ(form->os_major_version, 6u);
    EXPECT_TRUE(form->transparency());
    EXPECT_NEAR(form->windowOpacity(), 127 / 255.0, 0.002);
    const QRect blended = client_on_screen(*form);
    const QPoint inside = blended.bottomLeft() + QPoint(20, -20);
    const QPoint behind(5, 5);
    // Navy at 127/255 over whatever lies behind.
    auto expected = [](int front, int back) { return (front * 127 + back * 128) / 255; };
    bool seen = QTest::qWaitFor([&] {
        const QImage shot = screen_shot();
        const QRgb in = shot.pixel(inside), out = shot.pixel(behind);
        return std::abs(qRed(in) - expected(0, qRed(out))) <= 6 &&
               std::abs(qGreen(in) - expected(0, qGreen(out))) <= 6 &&
               std::abs(qBlue(in) - expected(128, qBlue(out))) <= 6;
    }, 5000);
    const QImage shot = screen_shot();
    EXPECT_TRUE(seen) << std::hex << shot.pixel(inside) << " over " << shot.pixel(behind);
    // What lies behind is not navy, so the blend differs from both.
    EXPECT_FALSE(is_navy(shot.pixel(inside)));
    form->FormCloseQuery();
    form.reset();
    compositor.stop();
}

// The camera is away while the menu first opens, so the recording and photo
// items stay out of it; their keys work all the same once the preview runs,
// and again after the menu opened with the preview running.
TEST_F(x11_fixture, recording_and_photo_keys_work_whenever_a_preview_runs)
{
#ifndef RTSP_TEST_SERVER
    GTEST_SKIP() << "built without the RTSP test server";
#else
    const kestrel_test::temp_folder_t temp("kestrel-keys");
    const std::string folder = temp.prefix();
    const uint16_t camera_port = kestrel_test::free_loopback_port();
    start_form({"demo=false", "ipc_port=" + std::to_string(camera_port), "recon_interval=300",
                "con_wait_time=3000", "img_path=" + folder + "img/", "rec_path=" + folder + "rec/"});
    ASSERT_TRUE(log_reaches(" can not start preview\r\n", 1));
    const QList<QAction*> away = menu_as_opened();
    ASSERT_TRUE(away.contains(form->options_itm));
    EXPECT_FALSE(away.contains(form->start_stop_rec_itm));
    EXPECT_FALSE(away.contains(form->save_img_itm));

    rtsp_server_process camera;
    ASSERT_TRUE(camera.start({"--path", "/ch1/main=320x240@25"}, camera_port));
    ASSERT_TRUE(log_reaches(" preview started\r\n", 1));
    ASSERT_TRUE(QTest::qWaitFor([] {
        mt_guard_t guard(player_lock);
        return player_port >= 0 && player_has_picture(player_port) != 0;
    }, 15000));
    press("F5");
    EXPECT_TRUE(log_reaches(" rec started\r\n", 1));
    press("F9");
    EXPECT_TRUE(log_reaches(" img saved\r\n", 1));
    EXPECT_FALSE(std::filesystem::is_empty(folder + "img/"));

    const QList<QAction*> live = menu_as_opened();
    EXPECT_TRUE(live.contains(form->start_stop_rec_itm));
    EXPECT_TRUE(live.contains(form->save_img_itm));
    press("F6");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->rec_timer->enabled(); }, 5000));
    press("F5");
    EXPECT_TRUE(log_reaches(" rec started\r\n", 2));
    press("F9");
    EXPECT_TRUE(log_reaches(" img saved\r\n", 2));

    form->FormCloseQuery();
    form.reset();
    camera.stop();
#endif
}

// Wherever the main window is, the dialog's frame has its middle in the
// middle of the screen; the first show does not know the frame yet.
TEST_F(x11_fixture, options_dialog_opens_in_the_middle_of_the_screen)
{
    start_form();
    Toptions_form dialog(form.get());
    const QPoint middle = QRect(0, 0, screen_w, screen_h).center();
    for (const QPoint place : {QPoint(30, 40), QPoint(600, 420)}) {
        form->move(place);
        settle();
        dialog.open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        settle();
        const QRect frame = wm_frame(dialog);
        const QSize border = frame.size() - dialog.size();
        ASSERT_GT(border.height(), 5);  // a title bar
        EXPECT_LE(std::abs(frame.center().x() - middle.x()), border.width())
            << frame.x() << "," << frame.y() << " with the window at " << place.x() << "," << place.y();
        EXPECT_LE(std::abs(frame.center().y() - middle.y()), border.height())
            << frame.x() << "," << frame.y() << " with the window at " << place.x() << "," << place.y();
        dialog.reject();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 3000));
    }
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const int display = start_xvfb();
    const std::string name = ":" + std::to_string(display);
    if (display < 0 || !display_accepts(name)) {
        std::fprintf(stderr, "x11 tests: Xvfb could not be started (scripts/install-deps.sh installs it)\n");
        xvfb.stop();
        return 1;
    }
    setenv("DISPLAY", name.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    const bool window_manager_started = spawn(window_manager, {"openbox", "--sm-disable"});
    int result = 1;
    {
        QApplication application(argc, argv);
        if (window_manager_started && window_manager_ready())
            result = RUN_ALL_TESTS();
        else
            std::fprintf(stderr, "x11 tests: openbox did not start (scripts/install-deps.sh installs it)\n");
    }
    compositor.stop();
    window_manager.stop();
    xvfb.stop();
    return result;
}
