// The service core in-process without any widget or display platform (a
// plain QCoreApplication): the start-up and close order as its face hears
// them and as the log and the file show them, and photos taken off the GUI
// thread with the synthetic camera. The core reads the configuration file
// beside this executable, so the cases run serially.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "player/video_state.h"
#include "service/service_core.h"
#include "settings/settings.h"
#include "tests/app/form_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

// A face that writes down what it hears, and on which thread.
class listening_face_t : public service_face_t {
public:
    void recording_changed() override { heard.push_back("recording"); }
    void demo_changed() override { heard.push_back("demo"); }
    void camera_busy(bool on) override { heard.push_back(on ? "busy" : "idle"); }
    void photo_done(bool saved) override
    {
        heard.push_back(saved ? "photo saved" : "photo failed");
        on_gui_thread = on_gui_thread && std::this_thread::get_id() == gui_thread;
    }
    void window_settings(settings_t& live) override
    {
        heard.push_back("window settings");
        live.width = 321;
    }
    void closing() override { heard.push_back("closing"); }
    void stop_looking() override { heard.push_back("stop looking"); }

    std::vector<std::string> heard;
    std::thread::id gui_thread = std::this_thread::get_id();
    bool on_gui_thread = true;
};

std::string log_text() { return kestrel_test::read_file(form_fixture::own_path() + ".log"); }

size_t position_of(const std::string& text, const std::string& needle, size_t from = 0)
{
    return text.find(needle, from);
}

}  // namespace

TEST(service_core, starts_and_closes_in_order_without_a_widget)
{
    form_fixture::write_own_cfg(form_fixture::quiet_cfg(false, {"recon_interval=100000", "con_wait_time=300"}));
    listening_face_t face;
    service_core_t core;
    core.open();
    core.start(&face);
    EXPECT_EQ(core.service_status(), "camera not connected, retrying, not recording");
    // The first attempt runs 100 ms after start and fails: nobody listens.
    ASSERT_TRUE(QTest::qWaitFor([&] { return log_text().find("can not start preview") != std::string::npos; },
                                15000));
    core.close();
    core.close();  // runs once

    const std::vector<std::string> expected = {"demo",    "busy",    "idle",        "window settings",
                                               "closing", "demo",    "stop looking"};
    EXPECT_EQ(face.heard, expected);

    const std::string log = log_text();
    size_t at = 0;
    for (const char* line : {" logging started\r\n", "////params:\r\n", " sockets initialized\r\n",
                             " server activated\r\n", " can not start preview\r\n",
                             " sockets uninitialized\r\n"}) {
        at = position_of(log, line, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << log;
    }
    const std::string cfg = kestrel_test::read_file(form_fixture::own_path() + ".cfg");
    EXPECT_NE(cfg.find("\r\nwidth=321\r\n"), std::string::npos) << "the face's values go into the file";
    EXPECT_NE(cfg.find("\r\nminimized=true\r\n"), std::string::npos);
}

TEST(service_core, demo_mode_is_the_demo_timer_and_makes_no_attempt)
{
    form_fixture::write_own_cfg(form_fixture::quiet_cfg(true, {"recon_interval=100"}));
    listening_face_t face;
    service_core_t core;
    core.open();
    core.start(&face);
    EXPECT_TRUE(core.demo_mode());
    EXPECT_EQ(core.service_status(), "demo mode, no camera");
    QTest::qWait(400);
    core.set_demo_mode(false);
    EXPECT_EQ(core.service_status(), "camera not connected, retrying, not recording");
    core.close();
    EXPECT_EQ(log_text().find("preview"), std::string::npos);
    EXPECT_NE(kestrel_test::read_file(form_fixture::own_path() + ".cfg").find("\r\ndemo=false\r\n"),
              std::string::npos);
}

TEST(service_core, photos_are_taken_off_the_gui_thread_in_turn)
{
    const kestrel_test::temp_folder_t photos_folder("kestrel-core-photos");
    const std::string folder = photos_folder.prefix();
    form_fixture::write_own_cfg(
        form_fixture::quiet_cfg(false, {"ipc_ip=test://320x240@25", "img_path=" + folder}));
    listening_face_t face;
    service_core_t core;
    core.open();
    EXPECT_FALSE(core.take_photo()) << "no preview before start";
    core.start(&face);
    // A photo needs the player's stream, which the first stream header opens.
    ASSERT_TRUE(QTest::qWaitFor([] {
        mt_guard_t guard(player_lock);
        return preview_handle >= 0 && player_port >= 0;
    }, 15000));

    ASSERT_TRUE(core.take_photo());
    ASSERT_TRUE(core.take_photo());
    // Both outcomes come as queued calls: none before the loop runs again.
    EXPECT_EQ(std::count(face.heard.begin(), face.heard.end(), "photo saved"), 0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::count(face.heard.begin(), face.heard.end(), "photo saved") == 2; }, 30000));
    EXPECT_TRUE(face.on_gui_thread);
    size_t photos = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        photos += entry.path().extension() == ".jpg" && entry.file_size() > 0;
    EXPECT_GE(photos, 1u);  // two within one second share a name

    // A photo still being taken when the core closes is finished first.
    ASSERT_TRUE(core.take_photo());
    core.close();
    std::string log = log_text();
    size_t saved = 0;
    for (size_t at = log.find(" img saved\r\n"); at != std::string::npos; at = log.find(" img saved\r\n", at + 1))
        ++saved;
    EXPECT_EQ(saved, 3u) << log;
}

int main(int argc, char** argv)
{
    // No GUI application at all, as a daemon without a platform runs.
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
