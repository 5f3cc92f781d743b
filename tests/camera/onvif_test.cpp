// A plain camera address found over ONVIF, end to end: the loopback ONVIF
// camera (tests/support/onvif_responder.h) names streams of the RTSP test
// server, and the connection must end with a live picture. Cameras whose
// clock runs hours off, that report unreachable addresses, that offer only
// the second media service, that want the digest for one question only,
// that are older, that answer garbage or nothing at all.
#include <gtest/gtest.h>

#include <chrono>

#include "camera/connection.h"
#include "camera/sdk.h"
#include "player/player.h"
#include "player/video_state.h"
#include "settings/log.h"
#include "tests/recording/recording_probe.h"
#include "tests/support/camera_test_util.h"
#include "tests/support/file_bytes.h"
#include "tests/support/onvif_responder.h"
#include "tests/support/rtsp_server_process.h"

namespace {

using namespace std::chrono;

constexpr int picture_wait_ms = 15000;

class onvif_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_path = folder.prefix() + "kestrel.log";
        ASSERT_TRUE(log_open(true, false, log_path.c_str(), "w"));
        sdk_init();
        sdk_set_connect_time(2000, 1);
        sdk_set_reconnect(500, 1);
        player_window = &surface;
        player_hold_pictures(true);
        ASSERT_TRUE(rtsp.start({"--path", "/ch1/main=320x240@25", "--path", "/ch1/sub=160x120@25",
                                "--user", "admin", "--password", "secret"}));
        options.rtsp_port = rtsp.port();
        s.ipc_ip = "127.0.0.1";
        s.ipc_login = "admin";
        s.ipc_password = "secret";
        s.channel = 1;
        s.link_mode = 0;
    }
    void TearDown() override
    {
        disconnect_camera();
        sdk_cleanup();
        player_window = nullptr;
        player_hold_pictures(false);
        log_close();
    }
    // Starts the ONVIF camera with options and points the settings at it.
    void start_camera()
    {
        ASSERT_TRUE(camera.start(options));
        s.ipc_port = uint16_t(camera.port());
    }
    // Connects and waits for a picture; its size in *w, *h.
    bool connects_with_picture(int32_t* w = nullptr, int32_t* h = nullptr)
    {
        if (!connect_camera(s))
            return false;
        if (!wait_for([&] { return has_picture(); }, picture_wait_ms))
            return false;
        int32_t width = 0, height = 0;
        mt_guard_t guard(player_lock);
        const bool shows = bmp_shows_pattern(bmp_of(player_port, &width, &height));
        if (w)
            *w = width, *h = height;
        return shows;
    }
    bool has_picture()
    {
        mt_guard_t guard(player_lock);
        return player_port >= 0 && player_has_picture(player_port) != 0;
    }
    int count_asked(const std::string& operation)
    {
        int n = 0;
        for (const std::string& a : camera.asked())
            n += a == operation;
        return n;
    }
    bool any_refused()
    {
        for (const std::string& a : camera.asked())
            if (a.rfind("refused:", 0) == 0)
                return true;
        return false;
    }
    std::string log_text() { return kestrel_test::read_file(log_path); }

    temp_folder_t folder;
    std::string log_path;
    counting_surface_t surface;
    settings_t s;
    rtsp_server_process rtsp;
    onvif_responder_options_t options;
    onvif_responder_obj camera;
};

TEST_F(onvif_test, clock_three_hours_off_is_followed_and_the_address_kept_for_reconnects)
{
    options.clock_offset_s = 3 * 3600 + 17;
    options.chunked = true;
    start_camera();
    ASSERT_TRUE(connects_with_picture());
    EXPECT_FALSE(any_refused());
    EXPECT_EQ(count_asked("GetStreamUri"), 1);

    // A reconnect by hand uses what was found: no question at all.
    const size_t asked = camera.asked().size();
    disconnect_camera();
    ASSERT_TRUE(connects_with_picture());
    EXPECT_EQ(camera.asked().size(), asked);

    // The stream fails: the next attempt asks the camera again.
    disconnect_camera();
    const int rtsp_port = rtsp.port();
    rtsp.stop();
    EXPECT_FALSE(connect_camera(s));
    EXPECT_EQ(camera.asked().size(), asked);
    ASSERT_TRUE(rtsp.start({"--path", "/ch1/main=320x240@25", "--user", "admin", "--password",
                            "secret"},
                           rtsp_port));
    ASSERT_TRUE(connects_with_picture());
    EXPECT_EQ(count_asked("GetStreamUri"), 2);
    EXPECT_EQ(count_asked("GetSystemDateAndTime"), 2);
}

TEST_F(onvif_test, reported_hosts_are_replaced_by_the_configured_one)
{
    options.reported_host = "127.0.0.2";
    start_camera();
    ASSERT_TRUE(connects_with_picture());
    EXPECT_EQ(count_asked("GetProfiles"), 1);
    // Logged once, with the configured host and without the password.
    const std::string log = log_text();
    const std::string found = "camera: ONVIF stream of 127.0.0.1: rtsp://127.0.0.1:" +
                              std::to_string(rtsp.port()) + "/ch1/main";
    EXPECT_NE(log.find(found), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.0.2"), std::string::npos) << log;
}

// Each row: the camera's services, the stream asked for and the picture size
// expected.
struct media_case_t {
    const char* name;
    bool media1, media2, has_get_services, sub_listed_first;
    int32_t link_mode;
    int32_t width, height;
};

class onvif_media_test : public onvif_test, public ::testing::WithParamInterface<media_case_t> {};

TEST_P(onvif_media_test, profile_of_the_stream_asked_for_is_found)
{
    const media_case_t& c = GetParam();
    options.media1 = c.media1;
    options.media2 = c.media2;
    options.has_get_services = c.has_get_services;
    options.sub_listed_first = c.sub_listed_first;
    options.encoding = c.media2 ? "H265" : "H264";
    s.link_mode = c.link_mode;
    start_camera();
    int32_t w = 0, h = 0;
    ASSERT_TRUE(connects_with_picture(&w, &h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(count_asked("GetCapabilities"), c.has_get_services ? 0 : 1);
    if (c.media2) {
        EXPECT_NE(log_text().find("(H265 "), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, onvif_media_test,
    ::testing::Values(
        media_case_t{"media2_only_h265_main", false, true, true, false, 0, 320, 240},
        media_case_t{"media2_only_h265_sub", false, true, true, false, int32_t(0x80000000u), 160, 120},
        media_case_t{"both_media_sub_listed_first_main", true, true, true, true, 0, 320, 240},
        media_case_t{"media1_sub_listed_first_sub", true, false, true, true, int32_t(0x80000000u), 160, 120},
        media_case_t{"older_camera_capabilities_only", true, false, false, false, 1, 320, 240}),
    [](const ::testing::TestParamInfo<media_case_t>& info) { return info.param.name; });

TEST_F(onvif_test, digest_wanted_for_profiles_only_checks_the_password)
{
    options.secure_profiles_only = true;
    options.refusal_status = 401;
    start_camera();
    s.ipc_password = "wrong";
    EXPECT_FALSE(connect_camera(s));
    EXPECT_EQ(login_handle, -1);
    EXPECT_EQ(count_asked("refused:GetProfiles"), 1);
    EXPECT_EQ(count_asked("GetStreamUri"), 0);
    EXPECT_NE(log_text().find("camera: ONVIF login to 127.0.0.1 refused"), std::string::npos);

    s.ipc_password = "secret";
    ASSERT_TRUE(connects_with_picture());
}

TEST_F(onvif_test, a_whole_url_asks_no_onvif_question)
{
    start_camera();
    s.ipc_ip = rtsp.url("/ch1/main");
    ASSERT_TRUE(connects_with_picture());
    EXPECT_TRUE(camera.asked().empty());
}

// Garbage or silence: bounded by the connect time, then the address rule,
// which fails here as well (nothing serves RTSP at the ONVIF port).
TEST_F(onvif_test, garbage_or_silence_ends_within_the_connect_time_in_the_address_rule)
{
    for (auto behaviour : {onvif_responder_options_t::garbage, onvif_responder_options_t::silent}) {
        onvif_responder_obj broken;
        options.behaviour = behaviour;
        ASSERT_TRUE(broken.start(options));
        sdk_set_connect_time(800, 1);
        const auto start = steady_clock::now();
        EXPECT_LT(sdk_login("127.0.0.1", uint16_t(broken.port()), "admin", "secret", nullptr), 0);
        const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
        // ONVIF within 800 ms, the address rule's RTSP attempt within 800 ms more.
        EXPECT_LT(took, 800 + 800 + 700);
        const std::string rule = "using rtsp://127.0.0.1:" + std::to_string(broken.port()) + "/ch1/main";
        EXPECT_NE(log_text().find(rule), std::string::npos) << log_text();
    }
}

// The address rule still finds a picture when the port is an RTSP server's.
TEST_F(onvif_test, rtsp_port_without_onvif_falls_back_to_the_address_rule)
{
    s.ipc_port = uint16_t(rtsp.port());
    ASSERT_TRUE(connects_with_picture());
    EXPECT_NE(log_text().find("camera: no ONVIF answer from 127.0.0.1"), std::string::npos);
}

}  // namespace
