// The retention sweep on real files with set modification times, the
// rotation timer's interval, and the free-space rule and its sweep on a real
// small file system.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "recording/disk_space.h"
#include "recording/file_output.h"
#include "recording/recording.h"
#include "settings/metrics.h"
#include "tests/recording/recording_probe.h"

namespace {

constexpr std::time_t now = 1700000000;
constexpr double max_age = 168.5 * 3600;  // the default retention

void make_file(const std::string& path, std::time_t mtime)
{
    kestrel_test::write_file(path, "x");
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace

TEST(remove_old_files, deletes_plain_files_strictly_older_than_the_limit)
{
    temp_folder_t folder;
    const std::string& dir = folder.prefix();
    struct case_t {
        const char* name;
        double age_s;
        bool kept;
    };
    const case_t cases[] = {
        {"2013-06-01 10-20-30 (UTC).mp4", max_age + 1, false},
        {"at the limit.mp4", max_age, true},  // 606600 s: not greater
        {"young.mp4", 10, true},
        {"someone else's.txt", max_age * 3, false},  // any name, any extension
        {"from the future.mp4", -3600, true},
        {".hidden", max_age * 3, true},
        {"..two dots", max_age * 3, true},
    };
    for (const case_t& c : cases)
        make_file(dir + c.name, now - std::time_t(c.age_s));
    // A subfolder is neither deleted nor looked into.
    std::filesystem::create_directory(dir + "sub");
    make_file(dir + "sub/old inside.mp4", now - std::time_t(max_age * 3));
    make_file(dir + "sub", now - std::time_t(max_age * 3));

    remove_old_files(dir, now, max_age);

    for (const case_t& c : cases)
        EXPECT_EQ(exists(dir + c.name), c.kept) << c.name;
    EXPECT_TRUE(exists(dir + "sub/old inside.mp4"));
}

TEST(remove_old_files, spares_the_file_being_recorded_whatever_its_age)
{
    temp_folder_t folder;
    const std::string path = folder.prefix() + "recording.mp4";
    int error = 0;
    std::unique_ptr<file_output_t> output = open_file_output(path, &error);
    ASSERT_TRUE(output);
    make_file(path, now - 3 * 3600);
    // A retention shorter than the file's age, spelled with a doubled
    // separator: the file is still the one being written.
    remove_old_files(folder.prefix() + "/", now, 3600);
    EXPECT_TRUE(exists(path));
    output.reset();
    make_file(path, now - 3 * 3600);
    remove_old_files(folder.prefix(), now, 3600);
    EXPECT_FALSE(exists(path));
}

TEST(remove_old_files, missing_folder_does_nothing)
{
    temp_folder_t folder;
    make_file(folder.prefix() + "old.mp4", now - std::time_t(max_age * 3));
    remove_old_files(folder.prefix() + "missing/", now, max_age);
    remove_old_files(folder.prefix() + "old.mp4/", now, max_age);  // a file, not a folder
    EXPECT_TRUE(exists(folder.prefix() + "old.mp4"));
    // An empty folder text (a cleared dialog entry) leaves the working
    // directory alone.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder.prefix().c_str()), 0);
    remove_old_files("", now, max_age);
    EXPECT_TRUE(exists("old.mp4"));
    ASSERT_EQ(chdir(previous), 0);
}

TEST(rec_timer_interval_ms, hours_become_a_timer_interval_that_fits)
{
    const int32_t largest = std::numeric_limits<int32_t>::max();
    struct case_t {
        double hours;
        int32_t ms;
    };
    const case_t cases[] = {
        {1.0, 3600000},
        {0.5, 1800000},
        {0.0001, 360},
        {0.00000001, 0},  // 0.036 ms truncates to 0: never rotates
        {0, 0},
        {-1, 0},  // a negative interval behaves as 0
        {std::nan(""), 0},
        {596.5, 2147400000},
        {596.6, largest},  // 2147760000 ms does not fit: the largest there is
        {1e9, largest},
        {std::numeric_limits<double>::infinity(), largest},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(rec_timer_interval_ms(c.hours), c.ms) << c.hours;
}

TEST(space_rule, leaves_room_to_record_on_a_small_card_and_keeps_a_share_of_a_big_disk)
{
    const uint64_t mib = 1u << 20;
    const double rate_8_mbit = 1e6;  // bytes per second
    struct case_t {
        uint64_t disk;
        double rate;
        uint64_t keep_free;
    };
    const case_t cases[] = {
        {128 * mib, rate_8_mbit, 32 * mib},       // five minutes would be 300 MB: a quarter
        {128 * mib, 0, 128 * mib / 100},          // nothing measured yet: 1 %
        {16ull << 30, rate_8_mbit, 300000000},    // 16 GiB: five minutes of 8 Mbit/s
        {4000000000000ull, rate_8_mbit, 40000000000ull},  // 4 TB: 1 %
        {4000000000000ull, 200e6, 60000000000ull},        // a very fast camera: its five minutes
        {0, rate_8_mbit, 0},
    };
    for (const case_t& c : cases) {
        const space_rule_t rule = space_rule(c.disk, c.rate);
        EXPECT_EQ(rule.keep_free, c.keep_free) << c.disk;
        EXPECT_EQ(rule.max_file, c.disk / 8);
        // The file being written and the room kept fit together, with room to spare.
        EXPECT_LE(rule.keep_free + rule.max_file, c.disk / 2 + c.disk / 8);
        EXPECT_LE(rule.pause_below, rule.resume_at);
        EXPECT_LE(rule.resume_at, rule.keep_free);
    }
}

TEST(is_recording_name, only_the_names_recordings_get)
{
    struct case_t {
        const char* name;
        bool ours;
    };
    const case_t cases[] = {
        {"2013-06-01 10-20-30 (UTC).mp4", true},
        {"2013-06-01 10-20-30 (UTC)-2.mp4", true},
        {"2013-06-01 10-20-30 (UTC)-99.mp4", true},
        {"2013-06-01 10-20-30 (UTC)-1.mp4", false},
        {"2013-06-01 10-20-30 (UTC)-02.mp4", false},
        {"2013-06-01 10-20-30 (UTC)-100.mp4", false},
        {"2013-06-01 10-20-30 (UTC).jpg", false},  // a photo
        {"2013-06-01 10-20-30 (UTC).mp4.part", false},
        {"2013-06-01 10-20-30 (UTC)", false},
        {"2013-06-01 10-20-30 (UTC) mine.mp4", false},
        {"2013-06-01 10:20:30 (UTC).mp4", false},
        {"x013-06-01 10-20-30 (UTC).mp4", false},
        {"holiday.mp4", false},
        {".2013-06-01 10-20-30 (UTC).mp4", false},
        {"", false},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(is_recording_name(c.name), c.ours) << c.name;
}

// On a real 4 MiB file system filled with recordings, a photo and a file of
// someone's own: the sweep deletes recordings oldest first (by the time in
// their names, then their number), stops as soon as there is room, and
// never touches the file being written, the photo or the other file.
TEST(make_room, deletes_the_oldest_recordings_until_there_is_room)
{
    small_disk_t disk("4m");
    if (!disk.mounted())
        GTEST_SKIP() << disk.why();
    const std::string& dir = disk.prefix();
    const std::string chunk(512 * 1024, 'v');
    const std::vector<std::string> recordings = {
        "2013-06-01 10-00-00 (UTC).mp4",   "2013-06-01 10-00-00 (UTC)-2.mp4",
        "2013-06-01 10-00-00 (UTC)-10.mp4", "2013-06-01 11-00-00 (UTC).mp4",
        "2013-06-02 09-00-00 (UTC).mp4"};
    // Written newest first, so that neither listing nor file times give the order.
    for (auto it = recordings.rbegin(); it != recordings.rend(); ++it)
        kestrel_test::write_file(dir + *it, chunk);
    kestrel_test::write_file(dir + "2013-06-01 09-00-00 (UTC).jpg", chunk);
    kestrel_test::write_file(dir + "mine.mp4", chunk);
    int error = 0;
    const std::string writing = dir + "2013-06-01 08-00-00 (UTC).mp4";  // oldest by name
    std::unique_ptr<file_output_t> output = open_file_output(writing, &error);
    ASSERT_TRUE(output);
    ASSERT_EQ(output->write_all(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()), 0);
    const uint64_t free_before = disk.free_bytes();
    ASSERT_LT(free_before, 1200u * 1024);

    const uint64_t age_before = metrics.deleted_by_age.load();
    const uint64_t space_before = metrics.deleted_for_space.load();
    const uint64_t keep_free = free_before + 1024 * 1024 + 1;  // two chunks and a byte: three go
    const room_result_t result = make_room(dir, keep_free);
    EXPECT_TRUE(result.known);
    EXPECT_EQ(result.deleted, 3);
    EXPECT_FALSE(result.nothing_left);
    EXPECT_GE(result.free, keep_free);
    EXPECT_EQ(result.free, disk.free_bytes());
    EXPECT_EQ(metrics.deleted_for_space.load() - space_before, 3u);
    EXPECT_EQ(metrics.deleted_by_age.load(), age_before);
    EXPECT_EQ(uint64_t(metrics.recording_free_bytes.load()), result.free);
    EXPECT_EQ(files_in(dir, ""),
              (std::vector<std::string>{"2013-06-01 08-00-00 (UTC).mp4", "2013-06-01 09-00-00 (UTC).jpg",
                                        "2013-06-01 11-00-00 (UTC).mp4",
                                        "2013-06-02 09-00-00 (UTC).mp4", "mine.mp4"}));

    // More than the disk holds: every recording but the one being written
    // goes, and the sweep says it found too little.
    const room_result_t all = make_room(dir, 64u << 20);
    EXPECT_TRUE(all.nothing_left);
    EXPECT_EQ(all.deleted, 2);
    EXPECT_EQ(files_in(dir, ""),
              (std::vector<std::string>{"2013-06-01 08-00-00 (UTC).mp4",
                                        "2013-06-01 09-00-00 (UTC).jpg", "mine.mp4"}));
    // Enough free space: nothing is deleted.
    output.reset();
    EXPECT_EQ(make_room(dir, 1024).deleted, 0);
    EXPECT_TRUE(exists(writing));
    EXPECT_FALSE(make_room(dir + "missing/", 1024).known);
}
