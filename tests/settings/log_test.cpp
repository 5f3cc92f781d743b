// The log (whole messages under log_lock, CR LF on disk, nothing
// after close) and the UTC time stamps.
#include "settings/log.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/file_bytes.h"
#include "tests/support/temp_folder.h"

using kestrel_test::read_file;
using kestrel_test::temp_folder_t;

namespace {

// Splits on CR LF; fails the test on any LF without its CR.
std::vector<std::string> crlf_lines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            ADD_FAILURE() << "text after the last line end";
            break;
        }
        if (lf == start || bytes[lf - 1] != '\r') {
            ADD_FAILURE() << "LF without CR at byte " << lf;
            break;
        }
        lines.push_back(bytes.substr(start, lf - 1 - start));
        start = lf + 1;
    }
    return lines;
}

}  // namespace

TEST(log, crlf_on_disk_and_flushed_at_once)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    EXPECT_TRUE(log_print("//%s\n%s logging started\n", std::string(75, '-').c_str(), "T"));
    // Already on disk before close (flushed with the message).
    EXPECT_EQ(read_file(path), "//" + std::string(75, '-') + "\r\nT logging started\r\n");
    EXPECT_TRUE(log_print("%s can not start preview\n", "T"));
    EXPECT_TRUE(log_print("a\n\nb\n"));  // empty line inside a message
    EXPECT_TRUE(log_print("no line end"));
    log_close();
    EXPECT_EQ(read_file(path), "//" + std::string(75, '-') +
                                    "\r\nT logging started\r\nT can not start preview\r\na\r\n\r\nb\r\nno line end");
}

TEST(log, nothing_after_close)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    EXPECT_TRUE(log_print("////before\n"));
    log_close();
    EXPECT_FALSE(log_print("////after %d\n", 1));
    EXPECT_FALSE(log_print("////after\n"));
    log_close();  // a second close is harmless
    EXPECT_EQ(read_file(path), "////before\r\n");
}

TEST(log, second_run_replaces_first)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    log_print("first run, a long line %s\n", std::string(500, 'x').c_str());
    log_close();
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    log_print("second\n");
    log_close();
    EXPECT_EQ(read_file(path), "second\r\n");
}

TEST(log, open_failures)
{
    temp_folder_t dir;
    EXPECT_FALSE(log_open(true, false, nullptr, "w"));
    EXPECT_FALSE(log_print("x\n"));
    EXPECT_FALSE(log_open(true, false, dir.file("k.log").c_str(), nullptr));
    EXPECT_FALSE(log_open(true, false, dir.file("no/such/folder/k.log").c_str(), "w"));
    EXPECT_FALSE(log_print("x\n"));  // the program runs on, logging nothing
    log_close();
    EXPECT_FALSE(std::filesystem::exists(dir.file("k.log")));
}

TEST(log, console_only_goes_to_stdout)
{
    EXPECT_TRUE(log_open(false, false, nullptr, nullptr));
    testing::internal::CaptureStdout();
    const bool printed = log_print("////port=%u\n", 80u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(printed);
    EXPECT_EQ(out, "////port=80\n");
    log_close();
}

TEST(log, console_and_file)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, true, path.c_str(), "w"));
    testing::internal::CaptureStdout();
    const bool printed = log_print("%s=%i\n", "sizeof_in", 10240);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(printed);
    EXPECT_EQ(out, "sizeof_in=10240\n");
    log_close();
    EXPECT_EQ(read_file(path), "sizeof_in=10240\r\n");

    // After close the file part fails: false, though the console still gets it.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(log_print("late\n"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "late\n");
    EXPECT_TRUE(log_open(false, false, nullptr, nullptr));  // back to a quiet state
}

TEST(log, very_long_message_is_one_whole_message)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += (i % 100 == 99) ? '\n' : static_cast<char>('a' + i % 26);
    EXPECT_TRUE(log_print("%s\n", body.c_str()));
    log_close();
    std::string expected;
    for (char c : body + "\n") {
        if (c == '\n')
            expected += '\r';
        expected += c;
    }
    EXPECT_EQ(read_file(path), expected);
}

// Two threads log many messages at once; every message, including two-line
// ones and ones far longer than any stdio buffer, arrives whole and in order.
TEST(log, two_threads_give_whole_messages)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    const int per_thread = 4000;
    const std::string long_tail(9000, '#');
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    auto writer = [&](char name) {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < per_thread; ++i) {
            bool ok;
            if (i % 97 == 0)
                ok = log_print("%c %d long %s\n", name, i, long_tail.c_str());
            else if (i % 5 == 0)
                ok = log_print("%c %d first\n%c %d second\n", name, i, name, i);
            else
                ok = log_print("%c %d %s\n", name, i, "a line of moderate length for the log");
            if (!ok)
                ++failures;
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    go = true;
    a.join();
    b.join();
    log_close();
    EXPECT_EQ(failures.load(), 0);

    const std::vector<std::string> lines = crlf_lines(read_file(path));
    std::map<char, int> next{{'A', 0}, {'B', 0}};
    for (size_t k = 0; k < lines.size(); ++k) {
        const std::string& line = lines[k];
        ASSERT_GE(line.size(), 3u) << "line " << k;
        const char name = line[0];
        ASSERT_TRUE(name == 'A' || name == 'B') << line.substr(0, 40);
        const int i = next[name];
        const std::string number = std::string(1, name) + " " + std::to_string(i) + " ";
        if (i % 97 == 0) {
            ASSERT_EQ(line, number + "long " + long_tail) << "line " << k;
        } else if (i % 5 == 0) {
            ASSERT_EQ(line, number + "first") << "line " << k;
            ASSERT_LT(k + 1, lines.size());
            ASSERT_EQ(lines[k + 1], number + "second") << "the two lines of one message were split";
            ++k;
        } else {
            ASSERT_EQ(line, number + "a line of moderate length for the log") << "line " << k;
        }
        next[name] = i + 1;
    }
    EXPECT_EQ(next['A'], per_thread);
    EXPECT_EQ(next['B'], per_thread);
}

// Past its limit the log moves to ".1" and begins again: each file stays
// within the limit, the messages go on in order across the two, whole, and
// a new run removes the older part.
TEST(log, moves_aside_past_its_limit_and_keeps_whole_messages)
{
    temp_folder_t dir;
    const std::string path = dir.file("kestrel.log");
    const size_t limit = 4096;
    log_set_limit_bytes(limit);
    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    const int count = 1000;  // about 30 KiB: several moves
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(log_print("message %d of the test\n", i));
    log_close();

    const std::string newest = read_file(path);
    const std::string older = read_file(path + ".1");
    EXPECT_LE(newest.size(), limit);
    EXPECT_LE(older.size(), limit);
    EXPECT_GT(older.size(), limit - 40);  // moved when the next message did not fit
    std::vector<std::string> lines = crlf_lines(older);
    const std::vector<std::string> tail = crlf_lines(newest);
    lines.insert(lines.end(), tail.begin(), tail.end());
    ASSERT_FALSE(lines.empty());
    const int first = std::atoi(lines.front().c_str() + 8);
    for (size_t k = 0; k < lines.size(); ++k)
        ASSERT_EQ(lines[k], "message " + std::to_string(first + int(k)) + " of the test");
    EXPECT_EQ(first + int(lines.size()), count);

    ASSERT_TRUE(log_open(true, false, path.c_str(), "w"));
    log_close();
    EXPECT_FALSE(std::filesystem::exists(path + ".1"));
    EXPECT_EQ(read_file(path), "");
    log_set_limit_bytes(16u << 20);
}

TEST(log, header_block_keeps_the_scheme_and_hides_the_credentials)
{
    const std::string user_password = "YWRtaW46c2VjcmV0";  // admin:secret
    struct case_t {
        std::string block;
        std::string logged;
    };
    const case_t cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Basic " + user_password + "\r\nAccept: */*\r\n",
         "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Basic (hidden)\r\nAccept: */*\r\n"},
        {"GET / HTTP/1.1\r\nauthorization:basic  " + user_password + " \r\n",
         "GET / HTTP/1.1\r\nauthorization:basic (hidden)\r\n"},
        {"GET / HTTP/1.1\r\nProxy-Authorization: Digest u=\"x\", r=\"y\"\r\n",
         "GET / HTTP/1.1\r\nProxy-Authorization: Digest (hidden)\r\n"},
        // The last line of a block comes without its line end.
        {"GET / HTTP/1.1\r\nAuthorization: Basic " + user_password,
         "GET / HTTP/1.1\r\nAuthorization: Basic (hidden)"},
        {"GET / HTTP/1.1\r\nAuthorization: Basic\r\n", "GET / HTTP/1.1\r\nAuthorization: Basic\r\n"},
        // Only the header of that name: a path or another header naming it stays.
        {"GET /Authorization: HTTP/1.1\r\nX-Authorization-Hint: Basic abc\r\n",
         "GET /Authorization: HTTP/1.1\r\nX-Authorization-Hint: Basic abc\r\n"},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(hide_credentials(c.block), c.logged) << c.block;
        EXPECT_EQ(hide_credentials(c.block).find(user_password), std::string::npos);
    }
}

// Known times, with a local time zone far from UTC (and with daylight saving).
TEST(utc_timestamp, known_times_whatever_the_time_zone)
{
    const char* old_tz = std::getenv("TZ");
    const std::string saved = old_tz ? old_tz : "";
    for (const char* zone : {"America/New_York", "Asia/Kolkata", "EST5EDT", "UTC"}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(utc_timestamp_of(1368522187), "2013-05-14 09-03-07 (UTC)") << zone;
        EXPECT_EQ(utc_timestamp_of(1388534399), "2013-12-31 23-59-59 (UTC)") << zone;
        EXPECT_EQ(utc_timestamp_of(0), "1970-01-01 00-00-00 (UTC)") << zone;
        EXPECT_EQ(utc_timestamp_of(951825600), "2000-02-29 12-00-00 (UTC)") << zone;
    }
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(utc_timestamp, now_is_25_characters_fit_for_file_names)
{
    const std::time_t before = std::time(nullptr);
    const std::string now = utc_timestamp();
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(now.size(), 25u);
    EXPECT_EQ(now.find(':'), std::string::npos);
    EXPECT_EQ(now.find('/'), std::string::npos);
    EXPECT_TRUE(now == utc_timestamp_of(before) || now == utc_timestamp_of(after)) << now;
}

// Each caller gets its own text: concurrent callers with different times
// never see each other's result.
TEST(utc_timestamp, concurrent_callers_get_their_own_text)
{
    std::atomic<int> wrong{0};
    auto worker = [&wrong](std::time_t t, const char* expected) {
        for (int i = 0; i < 20000; ++i)
            if (utc_timestamp_of(t) != expected)
                ++wrong;
    };
    std::thread a(worker, 1368522187, "2013-05-14 09-03-07 (UTC)");
    std::thread b(worker, 1388534399, "2013-12-31 23-59-59 (UTC)");
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}
