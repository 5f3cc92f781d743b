// connect_camera, disconnect_camera and stream_data_callback against the
// scripted camera layers: which calls they make, in which order, and what
// the connection handles hold afterwards.
#include <gtest/gtest.h>

#include "camera/connection.h"
#include "camera/sdk.h"
#include "player/video_state.h"
#include "tests/camera/fake_camera_layers.h"

namespace {

using calls_t = std::vector<std::string>;

class connection_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        login_handle = -1;
        preview_handle = -1;
        player_port = -1;
        player_window = nullptr;
        s.ipc_ip = "127.0.0.3";  // never contacted: the layers are fakes
        s.ipc_port = 554;
        s.ipc_login = "admin";
        s.ipc_password = "pw";
        s.channel = 2;
        s.link_mode = int32_t(0x80000001u);
    }
    settings_t s;
};

TEST_F(connection_test, wrong_password_leaves_both_handles_negative)
{
    fake_script.login_result = -1;
    EXPECT_FALSE(connect_camera(s));
    EXPECT_LT(login_handle, 0);
    EXPECT_EQ(preview_handle, -1);
    EXPECT_EQ(fake_calls, (calls_t{"sdk_login 127.0.0.3 554 admin pw out"}));
}

TEST_F(connection_test, refused_preview_logs_out_at_once)
{
    fake_script.login_result = 7;
    fake_script.preview_result = -1;
    EXPECT_FALSE(connect_camera(s));
    EXPECT_EQ(login_handle, -1);
    EXPECT_LT(preview_handle, 0);
    EXPECT_EQ(fake_calls, (calls_t{"sdk_login 127.0.0.3 554 admin pw out",
                                   "sdk_start_preview 7 2 -2147483647 0 0 cb 0 0",
                                   "sdk_logout 7"}));
}

TEST_F(connection_test, success_keeps_login_and_preview)
{
    fake_script.login_result = 7;
    fake_script.preview_result = 0;  // 0 is a valid handle
    EXPECT_TRUE(connect_camera(s));
    EXPECT_EQ(login_handle, 7);
    EXPECT_EQ(preview_handle, 0);
    EXPECT_EQ(fake_calls.size(), 2u);
}

TEST_F(connection_test, disconnect_while_disconnected_passes_minus_one_and_leaves_player_alone)
{
    disconnect_camera();
    EXPECT_EQ(fake_calls, (calls_t{"sdk_stop_preview -1", "sdk_logout -1"}));
    EXPECT_EQ(login_handle, -1);
    EXPECT_EQ(preview_handle, -1);
    EXPECT_EQ(player_port, -1);
}

TEST_F(connection_test, disconnect_stops_preview_before_closing_the_player)
{
    login_handle = 4;
    preview_handle = 5;
    player_port = 2;
    disconnect_camera();
    EXPECT_EQ(fake_calls, (calls_t{"sdk_stop_preview 5", "player_stop 2", "player_close_stream 2",
                                   "player_free_port 2", "sdk_logout 4"}));
    EXPECT_EQ(login_handle, -1);
    EXPECT_EQ(preview_handle, -1);
    EXPECT_EQ(player_port, -1);
}

const uint8_t some_bytes[16] = {};

// Each row: what the player refuses, the calls a header makes on a
// connection without an open port, and the port left open.
struct header_case_t {
    const char* name;
    bool get_port_ok, set_mode_ok, open_ok, play_ok;
    calls_t calls;
    int32_t port_after;
};

class header_test : public connection_test, public ::testing::WithParamInterface<header_case_t> {};

TEST_P(header_test, undoes_only_what_succeeded)
{
    const header_case_t& c = GetParam();
    fake_script.get_port_ok = c.get_port_ok;
    fake_script.set_mode_ok = c.set_mode_ok;
    fake_script.open_ok = c.open_ok;
    fake_script.play_ok = c.play_ok;
    stream_data_callback(0, sdk_stream_header, some_bytes, sizeof some_bytes, nullptr);
    EXPECT_EQ(fake_calls, c.calls);
    EXPECT_EQ(player_port, c.port_after);
}

INSTANTIATE_TEST_SUITE_P(
    open_paths, header_test,
    ::testing::Values(
        header_case_t{"all_succeed", true, true, true, true,
                      {"player_get_port", "player_set_stream_mode 3 0",
                       "player_open_stream 3 16 1048576", "player_play null 3"},
                      3},
        header_case_t{"no_port", false, true, true, true, {"player_get_port"}, -1},
        header_case_t{"mode_fails", true, false, true, true,
                      {"player_get_port", "player_set_stream_mode 3 0", "player_free_port 3"},
                      -1},
        header_case_t{"open_fails", true, true, false, true,
                      {"player_get_port", "player_set_stream_mode 3 0",
                       "player_open_stream 3 16 1048576", "player_free_port 3"},
                      -1},
        header_case_t{"play_fails", true, true, true, false,
                      {"player_get_port", "player_set_stream_mode 3 0",
                       "player_open_stream 3 16 1048576", "player_play null 3",
                       "player_close_stream 3", "player_free_port 3"},
                      -1}),
    [](const ::testing::TestParamInfo<header_case_t>& info) { return info.param.name; });

TEST_F(connection_test, second_header_closes_the_old_stream_before_taking_a_port)
{
    player_port = 1;
    fake_script.next_port = 1;
    stream_data_callback(0, sdk_stream_header, some_bytes, sizeof some_bytes, nullptr);
    ASSERT_GE(fake_calls.size(), 4u);
    EXPECT_EQ(calls_t(fake_calls.begin(), fake_calls.begin() + 4),
              (calls_t{"player_stop 1", "player_close_stream 1", "player_free_port 1",
                       "player_get_port"}));
    EXPECT_EQ(player_port, 1);
}

TEST_F(connection_test, empty_header_closes_the_stream_and_opens_none)
{
    player_port = 1;
    stream_data_callback(0, sdk_stream_header, some_bytes, 0, nullptr);
    EXPECT_EQ(fake_calls,
              (calls_t{"player_stop 1", "player_close_stream 1", "player_free_port 1"}));
    EXPECT_EQ(player_port, -1);
}

TEST_F(connection_test, data_reaches_an_open_port_only)
{
    stream_data_callback(0, sdk_stream_data, some_bytes, sizeof some_bytes, nullptr);
    player_port = 2;
    stream_data_callback(0, sdk_stream_data, some_bytes, 0, nullptr);
    stream_data_callback(0, 3, some_bytes, sizeof some_bytes, nullptr);
    stream_data_callback(0, sdk_stream_data, some_bytes, sizeof some_bytes, nullptr);
    EXPECT_EQ(fake_calls, (calls_t{"player_input_data 2 16"}));
}

}  // namespace
