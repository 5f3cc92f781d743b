// The retention sweep on real files with set modification times, and the
// rotation timer's interval.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "recording/file_output.h"
#include "recording/recording.h"
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
