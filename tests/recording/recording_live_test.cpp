// Recording through the camera layer's calls, from the synthetic camera:
// what sdk_start_save refuses, and a row of files made by rotations.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "camera/sdk.h"
#include "tests/recording/recording_probe.h"

namespace {

using namespace std::chrono;

// The synthetic camera sends a key frame every second.
constexpr double key_interval_s = 1.0;
// Sleeps and process start-up on two busy cores, sanitizers on.
constexpr double slack_s = 0.5;

class recording_live_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_init();
        sdk_set_connect_time(2000, 1);
        sdk_set_reconnect(500, 1);
        login = sdk_login("test://320x240@25", 0, "", "", nullptr);
        const preview_request_t request{1, 0, 0, 0};
        preview = sdk_start_preview(login, &request, nullptr, nullptr, 0);
    }
    void TearDown() override
    {
        sdk_stop_preview(preview);
        sdk_logout(login);
        sdk_cleanup();
    }
    // Records into name for seconds; the time from the start of the save to
    // the end of the stop.
    double record(const std::string& name, double seconds)
    {
        const auto start = steady_clock::now();
        EXPECT_TRUE(sdk_start_save(preview, (folder.prefix() + name).c_str()));
        std::this_thread::sleep_for(duration<double>(seconds));
        EXPECT_TRUE(sdk_stop_save(preview));
        return duration<double>(steady_clock::now() - start).count();
    }

    temp_folder_t folder;
    int32_t login = -1;
    int32_t preview = -1;
};

}  // namespace

TEST_F(recording_live_test, save_needs_a_folder_that_exists_and_a_running_recording_to_stop)
{
    ASSERT_GE(preview, 0);
    EXPECT_FALSE(sdk_stop_save(preview));  // nothing records yet
    EXPECT_FALSE(sdk_start_save(preview, (folder.prefix() + "missing/a.mp4").c_str()));
    EXPECT_FALSE(sdk_start_save(preview, folder.prefix().c_str()));  // a folder, not a file
    EXPECT_FALSE(sdk_start_save(preview, ""));
    EXPECT_FALSE(sdk_start_save(-1, (folder.prefix() + "a.mp4").c_str()));
    EXPECT_TRUE(files_in(folder.prefix(), "").empty());
    EXPECT_FALSE(sdk_stop_save(preview));
}

// The rotation of the main window: stop, then start at once. Each file
// begins on a key frame; the new file takes the key-frame interval that was
// running, so nothing between two files is lost (they overlap by less than
// one interval).
TEST_F(recording_live_test, rotations_give_a_row_of_playable_files_covering_the_time)
{
    ASSERT_GE(preview, 0);
    const char* names[] = {"1.mp4", "2.mp4", "3.mp4"};
    double total_s = 0, recorded_s = 0;
    for (const char* name : names)
        total_s += record(name, 2.3);
    ASSERT_EQ(files_in(folder.prefix(), ".mp4").size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        const std::string path = folder.prefix() + names[i];
        ASSERT_TRUE(plays_cleanly(path));
        const probed_file_t p = probe_file(path);
        EXPECT_EQ(p.width, 320);
        // The first file waits for a key frame; the others start with the
        // interval that was running.
        EXPECT_GE(p.duration_s, 2.3 - (i == 0 ? key_interval_s : 0) - slack_s) << names[i];
        EXPECT_LE(p.duration_s, 2.3 + (i == 0 ? 0 : key_interval_s) + slack_s) << names[i];
        recorded_s += p.duration_s;
    }
    EXPECT_GE(recorded_s, total_s - key_interval_s - slack_s);
}

TEST_F(recording_live_test, stopping_the_preview_completes_the_file)
{
    ASSERT_GE(preview, 0);
    const std::string path = folder.prefix() + "a.mp4";
    ASSERT_TRUE(sdk_start_save(preview, path.c_str()));
    std::this_thread::sleep_for(milliseconds(2500));
    // No sdk_stop_save: the preview's end takes the recording with it.
    sdk_stop_preview(preview);
    ASSERT_TRUE(plays_cleanly(path));
    EXPECT_GE(probe_file(path).duration_s, 2.5 - key_interval_s - slack_s);
    EXPECT_FALSE(sdk_stop_save(preview));
}
