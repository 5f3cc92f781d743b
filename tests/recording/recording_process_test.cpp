// The real program recording the synthetic camera in daemon mode: rotation
// into files named by their start times, a retention shorter than a file,
// kill -9 in the middle of a file, and a disk that fills up.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/recording/recording_probe.h"
#include "tests/support/kestrel_process.h"

using kestrel_test::kestrel_process_t;

namespace {

using namespace std::chrono;

constexpr double key_interval_s = 1.0;  // of the synthetic camera
constexpr double slack_s = 0.6;         // start-up and sleeps on busy cores

size_t count_of(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

class recording_process_test : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(rec_path()); }
    std::string rec_path() const { return kestrel.dir + "/rec/"; }
    // Starts the program recording camera into rec_path with extra settings.
    void start(const std::string& camera, const std::vector<std::string>& extra)
    {
        std::vector<std::string> lines = {
            "daemon_mode=true", "ip=127.0.0.1",
            "port=" + std::to_string(kestrel_test::free_loopback_port()),
            "ipc_ip=" + camera, "rec_active=true", "rec_path=" + rec_path()};
        lines.insert(lines.end(), extra.begin(), extra.end());
        kestrel.write_cfg(lines);
        ASSERT_TRUE(kestrel.start());
        ASSERT_TRUE(kestrel.wait_for_log(" rec started\r\n")) << kestrel.log();
    }
    bool wait_for_log_count(const std::string& needle, size_t n, int timeout_ms = 30000)
    {
        const auto end = steady_clock::now() + milliseconds(timeout_ms);
        while (steady_clock::now() < end && kestrel.running()) {
            if (count_of(kestrel.log(), needle) >= n)
                return true;
            std::this_thread::sleep_for(milliseconds(50));
        }
        return count_of(kestrel.log(), needle) >= n;
    }

    kestrel_process_t kestrel;
};

}  // namespace

TEST_F(recording_process_test, rotation_makes_a_row_of_files_named_by_their_start_times)
{
    // 0.0008 hours: a new file every 2.88 seconds.
    start("test://320x240@25", {"rec_add_interval=0.0008"});
    ASSERT_TRUE(wait_for_log_count(" rec started\r\n", 3)) << kestrel.log();
    ASSERT_EQ(kestrel.stop(), 0);

    const std::vector<std::string> files = files_in(rec_path(), "");
    EXPECT_EQ(files.size(), count_of(kestrel.log(), " rec started\r\n"));
    ASSERT_GE(files.size(), 3u);
    const std::regex name(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\)\.mp4)");
    for (size_t i = 0; i < files.size(); i++) {
        EXPECT_TRUE(std::regex_match(files[i], name)) << files[i];
        ASSERT_TRUE(plays_cleanly(rec_path() + files[i]));
        const double duration = probe_file(rec_path() + files[i]).duration_s;
        EXPECT_LE(duration, 2.88 + key_interval_s + slack_s) << files[i];
        // The files between the first and the last cover a whole period.
        if (i > 0 && i + 1 < files.size())
            EXPECT_GE(duration, 2.88 - slack_s) << files[i];
    }
    EXPECT_EQ(kestrel.log().find("can not start rec"), std::string::npos);
}

// A retention below zero makes every sweep delete every file at once: all
// but the one being recorded when the program stopped.
TEST_F(recording_process_test, retention_never_deletes_the_file_being_recorded)
{
    start("test://320x240@25", {"rec_add_interval=0.0008", "rec_remove_interval=-1"});
    ASSERT_TRUE(wait_for_log_count(" rec started\r\n", 3)) << kestrel.log();
    std::this_thread::sleep_for(milliseconds(1500));  // half-way to the next rotation
    ASSERT_EQ(kestrel.stop(), 0);
    const std::vector<std::string> files = files_in(rec_path(), "");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(plays_cleanly(rec_path() + files[0]));
    EXPECT_GE(probe_file(rec_path() + files[0]).duration_s, 1.0);
}

// A rec_add_interval of 0 never rotates; a process killed in the middle of
// the file leaves it playable, missing at most the key-frame interval that
// was being formed (and the one before the first key frame).
TEST_F(recording_process_test, kill_9_leaves_a_playable_file_missing_at_most_one_interval)
{
    start("test://320x240@25", {"rec_add_interval=0"});
    const auto started = steady_clock::now();
    std::this_thread::sleep_for(milliseconds(4500));
    const double elapsed = duration<double>(steady_clock::now() - started).count();
    kestrel.kill_now();

    const std::vector<std::string> files = files_in(rec_path(), "");
    ASSERT_EQ(files.size(), 1u);
    const std::string path = rec_path() + files[0];
    ASSERT_TRUE(plays_cleanly(path));
    const double duration = probe_file(path).duration_s;
    EXPECT_GE(duration, elapsed - 2 * key_interval_s - slack_s);
    EXPECT_LE(duration, elapsed + slack_s);
}

// The recording folder on a tmpfs of 48 KiB, full after a few seconds of
// 640x360: files end at the size the disk allows and the oldest make room,
// so recording goes on file after file; a write that fails all the same
// (the disk filled between two looks) is logged once; the program runs on
// and stops normally.
TEST_F(recording_process_test, full_disk_is_logged_once_and_the_program_goes_on)
{
    if (mount("tmpfs", rec_path().c_str(), "tmpfs", 0, "size=48k") != 0)
        FAIL() << "can not mount a tmpfs on " << rec_path() << " (" << std::strerror(errno)
               << "): this test needs root and mount permission";
    struct unmount_t {
        std::string path;
        ~unmount_t() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{rec_path()};

    start("test://640x360@25", {"rec_add_interval=0"});
    ASSERT_TRUE(wait_for_log_count("recording goes on in ", 3)) << kestrel.log();
    EXPECT_TRUE(kestrel.running());
    ASSERT_EQ(kestrel.stop(), 0);
    const std::string log = kestrel.log();
    EXPECT_LE(count_of(log, "rec: can not write "), 1u) << log;
    EXPECT_GE(count_of(log, " deleted, free space "), 1u) << log;
    // The failed file kept its whole fragments; as the space keeper makes
    // room, the recording goes on in newer files, each playable.
    const std::vector<std::string> files = files_in(rec_path(), "");
    ASSERT_GE(files.size(), 1u);
    double longest = 0;
    for (const std::string& name : files) {
        ASSERT_TRUE(plays_cleanly(rec_path() + name)) << name;
        longest = std::max(longest, probe_file(rec_path() + name).duration_s);
    }
    EXPECT_GE(longest, key_interval_s);
}
