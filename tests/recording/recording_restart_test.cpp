// Recordings of the RTSP test server (the camera) through the camera layer:
// while the camera restarts, the camera layer reconnects and the same file
// goes on, valid, with nothing written while the camera was away; on a small
// disk recorded full several times over, the oldest recordings make room;
// on a disk filled by someone else, recording pauses and comes back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>

#include "camera/sdk.h"
#include "settings/log.h"
#include "settings/metrics.h"
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

// A camera at 8 Mbit/s (the test server's encoder reaches it with this
// picture) on a preview, logged into a file of the test's own.
class fast_camera_t {
public:
    bool start(int kbps)
    {
        if (!server.start({"--path", "/ch1/main=1280x720@25", "--bitrate", std::to_string(kbps)}))
            return false;
        log_open(true, false, (log_folder.prefix() + "kestrel.log").c_str(), "w");
        sdk_init();
        sdk_set_connect_time(2000, 1);
        sdk_set_reconnect(500, 1);
        login = sdk_login("127.0.0.1", uint16_t(server.port()), "admin", "secret", nullptr);
        const preview_request_t request{1, 0, 0, 0};
        preview = sdk_start_preview(login, &request, count_headers, nullptr, 0);
        return preview >= 0;
    }
    ~fast_camera_t()
    {
        if (preview >= 0)
            sdk_stop_preview(preview);
        sdk_logout(login);
        sdk_cleanup();
        log_close();
    }
    std::string log() const { return kestrel_test::read_file(log_folder.prefix() + "kestrel.log"); }

    rtsp_server_process server;
    temp_folder_t log_folder;
    int32_t login = -1;
    int32_t preview = -1;
};

// Writes a file at path until the disk is full; the bytes written.
uint64_t fill_disk(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string chunk(64 * 1024, 'f');
    uint64_t written = 0;
    for (;;) {
        const ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        written += uint64_t(n);
    }
    close(fd);
    return written;
}

bool recording_paused() { return metrics.recording_stall.load() == int(rec_stall_t::no_space); }

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

// An 8 MiB disk recorded into at 8 Mbit/s until it filled three times over:
// no write fails, free space never runs out, the newest recordings stay and
// every one plays, the oldest went first, and someone's own file and a
// photo in the folder are kept.
TEST(recording_space, a_small_disk_recorded_full_keeps_the_newest_recordings)
{
    small_disk_t disk("8m");
    if (!disk.mounted())
        GTEST_SKIP() << disk.why();
    fast_camera_t camera;
    ASSERT_TRUE(camera.start(8000));
    const std::string& dir = disk.prefix();
    kestrel_test::write_file(dir + "notes.txt", std::string(256 * 1024, 'n'));
    kestrel_test::write_file(dir + "2013-06-01 09-00-00 (UTC).jpg", std::string(64 * 1024, 'j'));

    const uint64_t bytes_before = metrics.recording_bytes.load();
    const uint64_t deleted_before = metrics.deleted_for_space.load();
    ASSERT_TRUE(sdk_start_save(camera.preview, (dir + utc_timestamp() + ".mp4").c_str()));
    uint64_t least_free = disk.free_bytes();
    std::vector<std::string> seen;  // every recording that was in the folder
    const auto deadline = steady_clock::now() + seconds(90);
    while (metrics.recording_bytes.load() - bytes_before < 3 * (8u << 20) &&
           steady_clock::now() < deadline) {
        least_free = std::min(least_free, disk.free_bytes());
        for (const std::string& name : files_in(dir, ".mp4"))
            if (std::find(seen.begin(), seen.end(), name) == seen.end())
                seen.push_back(name);
        std::this_thread::sleep_for(milliseconds(20));
    }
    const uint64_t written = metrics.recording_bytes.load() - bytes_before;
    EXPECT_TRUE(sdk_stop_save(camera.preview));
    ASSERT_GE(written, 3u * (8u << 20)) << "the camera delivered too little in 90 s";

    const std::string log = camera.log();
    EXPECT_EQ(log.find("can not write"), std::string::npos) << log;
    EXPECT_EQ(log.find("no space left"), std::string::npos) << log;
    EXPECT_GT(least_free, 0u);
    EXPECT_GT(metrics.deleted_for_space.load() - deleted_before, 3u);
    EXPECT_TRUE(kestrel_test::read_file(dir + "notes.txt").size() == 256 * 1024);
    EXPECT_TRUE(kestrel_test::read_file(dir + "2013-06-01 09-00-00 (UTC).jpg").size() == 64 * 1024);

    // What stays are the newest recordings seen, without a gap.
    const std::vector<std::string> kept = files_in(dir, ".mp4");
    ASSERT_GE(kept.size(), 2u);
    std::sort(seen.begin(), seen.end());
    ASSERT_GE(seen.size(), kept.size());
    EXPECT_EQ(std::vector<std::string>(seen.end() - long(kept.size()), seen.end()), kept);
    for (const std::string& name : kept) {
        EXPECT_NE(log.find(name), std::string::npos) << "each new file is logged: " << name;
        EXPECT_TRUE(plays_cleanly(dir + name)) << name;
    }
}

// Someone else fills the disk: the recordings are deleted for room, then
// recording pauses with no file open; once the other file goes it goes on
// in a new file by itself. Every file left plays.
TEST(recording_space, a_disk_filled_by_another_file_pauses_recording_until_it_goes)
{
    small_disk_t disk("8m");
    if (!disk.mounted())
        GTEST_SKIP() << disk.why();
    fast_camera_t camera;
    ASSERT_TRUE(camera.start(2000));
    const std::string& dir = disk.prefix();
    ASSERT_TRUE(sdk_start_save(camera.preview, (dir + utc_timestamp() + ".mp4").c_str()));
    const uint64_t packets_start = metrics.recording_packets.load();
    ASSERT_TRUE(wait_for([&] { return metrics.recording_packets.load() > packets_start + 50; },
                         wait_ms));

    // The filler takes whatever the sweep frees, until recording pauses.
    const std::string filler = dir + "filler.bin";
    const auto deadline = steady_clock::now() + milliseconds(wait_ms);
    while (!recording_paused() && steady_clock::now() < deadline) {
        fill_disk(filler);
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_TRUE(recording_paused()) << camera.log();
    EXPECT_EQ(metrics.recording_files_open.load(), 0);
    const uint64_t packets_paused = metrics.recording_packets.load();
    std::this_thread::sleep_for(milliseconds(2000));
    EXPECT_EQ(metrics.recording_packets.load(), packets_paused) << "nothing is written while paused";
    EXPECT_TRUE(recording_paused());

    const std::vector<std::string> before = files_in(dir, ".mp4");
    ASSERT_EQ(unlink(filler.c_str()), 0);
    ASSERT_TRUE(wait_for([&] { return !recording_paused() &&
                                      metrics.recording_packets.load() > packets_paused + 50; },
                         wait_ms)) << camera.log();
    EXPECT_EQ(metrics.recording_files_open.load(), 1);
    EXPECT_TRUE(sdk_stop_save(camera.preview));

    const std::string log = camera.log();
    EXPECT_NE(log.find("space is back, recording goes on in "), std::string::npos) << log;
    const std::vector<std::string> after = files_in(dir, ".mp4");
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(std::find(before.begin(), before.end(), after.back()) == before.end())
        << "the recording went on in a new file";
    for (const std::string& name : after)
        EXPECT_TRUE(plays_cleanly(dir + name)) << name;
}
