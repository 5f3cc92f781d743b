// The real kestrel executable in daemon mode, in a folder of its own: the log
// of a start without a configuration file, the file written on SIGTERM, the
// log emptied by a second start, and demo mode starting without a camera.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/kestrel_process.h"

using kestrel_test::kestrel_process_t;

namespace {

const std::string separator =
    "//---------------------------------------------------------------------------";

std::vector<std::string> split_crlf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The position of each needle in text, in order; fails when one is missing
// or out of order.
void expect_in_order(const std::string& text, const std::vector<std::string>& needles)
{
    size_t position = 0;
    for (const std::string& needle : needles) {
        const size_t found = text.find(needle, position);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << needle << "\n" << text;
        position = found + needle.size();
    }
}

}  // namespace

TEST(startup, first_start_without_cfg_logs_in_order_and_writes_the_file_on_sigterm)
{
    kestrel_process_t kestrel;
    ASSERT_TRUE(kestrel.start());
    // Without a file the server tries port 80 on all interfaces; whether that
    // works depends on the machine, so the test waits for either answer.
    ASSERT_TRUE(kestrel.wait_for_log("activate"));
    const std::string log = kestrel.log();
    expect_in_order(log, {separator + "\r\n", " (UTC) logging started\r\n",
                          "////can not read cfg-file\r\n", "////can not parse params\r\n",
                          "////params:\r\n", "////ip=0.0.0.0\r\n", "////port=80\r\n",
                          "////login=user\r\n", "////password=4137\r\n",
                          "////root=" + kestrel.dir + "/root/\r\n", "////sizeof_in=10240\r\n",
                          "////sizeof_out=1048576\r\n", " (UTC) sockets initialized\r\n"});
    // No bare LF anywhere: every line ends with CR LF.
    for (size_t i = log.find('\n'); i != std::string::npos; i = log.find('\n', i + 1))
        ASSERT_TRUE(i > 0 && log[i - 1] == '\r') << "bare LF at " << i;

    EXPECT_EQ(kestrel.stop(), 0);
    const std::vector<std::string> lines = split_crlf(kestrel_test::read_file(kestrel.cfg_path()));
    ASSERT_EQ(lines.size(), 52u);
    EXPECT_EQ(lines[0], "//root: Absolute path");
    EXPECT_EQ(lines[8], "demo=false");
    EXPECT_EQ(lines[10], "ip=0.0.0.0");
    EXPECT_EQ(lines[11], "port=80");
    EXPECT_EQ(lines[39], "daemon_mode=false");
    // The window of a process started this way never showed.
    EXPECT_EQ(lines[40], "minimized=true");
    EXPECT_EQ(lines[51], "main_interval=100");
    expect_in_order(kestrel.log(), {" (UTC) sockets uninitialized\r\n"});
}

TEST(startup, second_start_empties_the_log_and_reads_the_written_file)
{
    kestrel_process_t kestrel;
    const uint16_t port = kestrel_test::free_loopback_port();
    kestrel.write_cfg({"daemon_mode=true", "demo=true", "ip=127.0.0.1",
                       "port=" + std::to_string(port)});
    ASSERT_TRUE(kestrel.start());
    ASSERT_TRUE(kestrel.wait_for_log("server activated"));
    ASSERT_EQ(kestrel.stop(), 0);
    const std::string first_log = kestrel.log();
    const size_t first_banner = first_log.find("logging started");
    ASSERT_NE(first_banner, std::string::npos);

    ASSERT_TRUE(kestrel.start());
    // The old log still says "server activated" until the new run empties it.
    std::string second_log;
    for (int i = 0; i < 750; ++i) {
        second_log = kestrel.log();
        if (second_log.find("server activated") != std::string::npos &&
            second_log.find("sockets uninitialized") == std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(second_log.find("server activated"), std::string::npos);
    // One banner: the first run's lines are gone.
    EXPECT_EQ(second_log.find("logging started"), second_log.rfind("logging started"));
    EXPECT_EQ(second_log.find("can not read cfg-file"), std::string::npos);
    EXPECT_NE(second_log.find("////port=" + std::to_string(port) + "\r\n"), std::string::npos);
    ASSERT_EQ(kestrel.stop(), 0);

    const std::string cfg = kestrel_test::read_file(kestrel.cfg_path());
    EXPECT_NE(cfg.find("\r\ndemo=true\r\n"), std::string::npos);
    EXPECT_NE(cfg.find("\r\ndaemon_mode=true\r\n"), std::string::npos);
    EXPECT_NE(cfg.find("\r\nport=" + std::to_string(port) + "\r\n"), std::string::npos);
}

TEST(startup, demo_mode_makes_no_camera_attempt)
{
    kestrel_process_t kestrel;
    kestrel.write_cfg({"daemon_mode=true", "demo=true", "ip=127.0.0.1",
                       "port=" + std::to_string(kestrel_test::free_loopback_port()),
                       "recon_interval=100"});
    ASSERT_TRUE(kestrel.start());
    ASSERT_TRUE(kestrel.wait_for_log("server activated"));
    // The first attempt would come 100 ms after start, the next 100 ms later.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ASSERT_EQ(kestrel.stop(), 0);
    const std::string log = kestrel.log();
    EXPECT_EQ(log.find("preview"), std::string::npos) << log;
}

TEST(startup, camera_attempts_repeat_at_the_reconnect_interval)
{
    kestrel_process_t kestrel;
    // A closed loopback port: every attempt fails at once.
    kestrel.write_cfg({"daemon_mode=true", "ip=127.0.0.1",
                       "port=" + std::to_string(kestrel_test::free_loopback_port()),
                       "ipc_ip=127.0.0.1",
                       "ipc_port=" + std::to_string(kestrel_test::free_loopback_port()),
                       "recon_interval=200", "con_wait_time=500"});
    ASSERT_TRUE(kestrel.start());
    ASSERT_TRUE(kestrel.wait_for_log("can not start preview"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(kestrel.stop(), 0);
    const std::string log = kestrel.log();
    size_t attempts = 0;
    for (size_t i = log.find("can not start preview"); i != std::string::npos;
         i = log.find("can not start preview", i + 1))
        ++attempts;
    EXPECT_GE(attempts, 2u) << log;
}

TEST(startup, sigint_closes_in_order_too)
{
    kestrel_process_t kestrel;
    kestrel.write_cfg({"daemon_mode=true", "demo=true", "ip=127.0.0.1",
                       "port=" + std::to_string(kestrel_test::free_loopback_port())});
    ASSERT_TRUE(kestrel.start());
    ASSERT_TRUE(kestrel.wait_for_log("server activated"));
    ::kill(kestrel.pid, SIGINT);
    for (int i = 0; i < 500 && kestrel.running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(kestrel.running());
    EXPECT_EQ(kestrel.exit_status, 0);
    EXPECT_NE(kestrel.log().find("sockets uninitialized"), std::string::npos);
}
