// A recording while the RTSP test server (the camera) restarts: the camera
// layer reconnects and the same file goes on, valid, with nothing written
// while the camera was away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "camera/sdk.h"
#include "tests/recording/recording_probe.h"
#include "tests/support/camera_test_util.h"
#include "tests/support/rtsp_server_process.h"

namespace {

using namespace std::chrono;

constexpr int wait_ms = 15000;  // sanitizer builds on two busy cores
const std::vector<std::string> camera_paths = {"--path", "/ch1/main=320x240@25"};

std::atomic<int> headers_seen{0};

void count_headers(int32_t, uint32_t type, const uint8_t*, uint32_t, void*)
{
    if (type == sdk_stream_header)
        headers_seen++;
}

}  // namespace

TEST(recording_restart, camera_restart_continues_the_same_file)
{
    rtsp_server_process server;
    ASSERT_TRUE(server.start(camera_paths));
    const int port = server.port();
    sdk_init();
    sdk_set_connect_time(2000, 1);
    sdk_set_reconnect(500, 1);
    headers_seen = 0;
    const int32_t login = sdk_login("127.0.0.1", uint16_t(port), "admin", "secret", nullptr);
    const preview_request_t request{1, 0, 0, 0};
    const int32_t preview = sdk_start_preview(login, &request, count_headers, nullptr, 0);
    ASSERT_GE(preview, 0);

    temp_folder_t folder;
    const std::string path = folder.prefix() + "restart.mp4";
    ASSERT_TRUE(sdk_start_save(preview, path.c_str()));
    std::this_thread::sleep_for(milliseconds(3000));
    server.stop();
    std::this_thread::sleep_for(milliseconds(2000));  // away: nothing to write
    ASSERT_TRUE(server.start(camera_paths, port));
    ASSERT_TRUE(wait_for([] { return headers_seen.load() == 2; }, wait_ms));
    std::this_thread::sleep_for(milliseconds(3000));
    EXPECT_TRUE(sdk_stop_save(preview));
    sdk_stop_preview(preview);
    sdk_logout(login);
    sdk_cleanup();

    EXPECT_EQ(files_in(folder.prefix(), ".mp4"), std::vector<std::string>{"restart.mp4"});
    ASSERT_TRUE(plays_cleanly(path));
    const probed_file_t p = probe_file(path);
    EXPECT_EQ(p.width, 320);
    // Three seconds before and three after, less a key-frame interval at the
    // start of each connection; the two away are not in the file.
    EXPECT_GE(p.duration_s, 6.0 - 2 * 1.0 - 0.5);
    EXPECT_LE(p.duration_s, 6.0 + 0.5);
}
