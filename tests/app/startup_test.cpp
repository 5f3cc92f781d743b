// The real kestrel executable in daemon mode, in a folder of its own: the log
// of a start without a configuration file, the file written on SIGTERM, the
// log emptied by a second start, and demo mode starting without a camera;
// the command line and an instance's files beside --config; the service
// manager's notify protocol on a datagram socket.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
    kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(15)), [&] {
        second_log = kestrel.log();
        return second_log.find("server activated") != std::string::npos &&
               second_log.find("sockets uninitialized") == std::string::npos;
    });
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
    kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(10)), [&] { return !kestrel.running(); });
    EXPECT_FALSE(kestrel.running());
    EXPECT_EQ(kestrel.exit_status, 0);
    EXPECT_NE(kestrel.log().find("sockets uninitialized"), std::string::npos);
}

// A daemon builds no window: it asks no display and no platform of the
// environment, and what it serves, records and writes back is what a daemon
// on Qt's offscreen platform does.
TEST(startup, a_daemon_needs_no_display_platform_and_serves_records_and_writes_the_same_file)
{
    std::string written[2];
    const char* const platforms[2] = {"QT_QPA_PLATFORM=offscreen", "QT_QPA_PLATFORM=nonexistent"};
    const uint16_t port = kestrel_test::free_loopback_port();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(platforms[run]);
        kestrel_process_t kestrel;
        kestrel.write_cfg({"daemon_mode=true", "ip=127.0.0.1", "port=" + std::to_string(port),
                           "ipc_ip=test://320x240@25", "rec_active=true", "root=" + kestrel.dir + "/root/",
                           "rec_path=" + kestrel.dir + "/rec/"});
        ASSERT_TRUE(kestrel.start({platforms[run]}));
        ASSERT_TRUE(kestrel.wait_for_log("rec started"));
        const int s = kestrel_test::connect_loopback(port);
        ASSERT_GE(s, 0);
        ASSERT_TRUE(kestrel_test::send_all(
            s, "GET /preview.jpg HTTP/1.1\r\nAuthorization: Basic dXNlcjo0MTM3\r\n\r\n"));
        const std::string answer = kestrel_test::receive(s, 10000, 200);
        ::close(s);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("image/jpeg"), std::string::npos);
        ASSERT_EQ(kestrel.stop(), 0);
        EXPECT_EQ(kestrel.log().find("exception"), std::string::npos) << kestrel.log();
        size_t recordings = 0;
        for (const auto& entry : std::filesystem::directory_iterator(kestrel.dir + "/rec"))
            recordings += entry.path().extension() == ".mp4" && entry.file_size() > 0;
        EXPECT_EQ(recordings, 1u);
        written[run] = kestrel_test::read_file(kestrel.cfg_path());
        // The paths differ between the two folders; the rest is the same.
        const std::string folder = kestrel.dir;
        for (size_t at = written[run].find(folder); at != std::string::npos; at = written[run].find(folder))
            written[run].replace(at, folder.size(), "DIR");
    }
    EXPECT_EQ(written[0], written[1]);
    EXPECT_NE(written[1].find("\r\nminimized=true\r\n"), std::string::npos);
}

namespace {

// Runs the built program with args to its end; its exit status and what it
// wrote on the stream chosen by redirect ("2>/dev/null" keeps stdout,
// "2>&1 >/dev/null" keeps stderr).
int run_to_end(const std::string& args, const char* redirect, std::string& output)
{
    return kestrel_test::run_command(std::string(KESTREL_BINARY) + " " + args + " " + redirect, output);
}

unsigned mode_of(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? (status.st_mode & 0777) : 0;
}

}  // namespace

TEST(command_line, help_version_and_bad_options)
{
    const char* stdout_only = "2>/dev/null";
    const char* stderr_only = "2>&1 >/dev/null";
    std::string out;
    EXPECT_EQ(run_to_end("--help", stdout_only, out), 0);
    EXPECT_EQ(out.rfind("Usage: kestrel [--config FILE] [--help] [--version]\n", 0), 0u) << out;
    out.clear();
    EXPECT_EQ(run_to_end("--version", stdout_only, out), 0);
    EXPECT_EQ(out.rfind("kestrel ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

    for (const char* bad : {"--bogus", "-platform offscreen", "--config", "--config=", "--help2"}) {
        std::string err, nothing;
        EXPECT_EQ(run_to_end(bad, stderr_only, err), 2) << bad;
        EXPECT_NE(err.find("Usage: kestrel"), std::string::npos) << bad;
        EXPECT_EQ(run_to_end(bad, stdout_only, nothing), 2) << bad;
        EXPECT_EQ(nothing, "") << bad;
    }
}

TEST(command_line, config_option_puts_everything_beside_the_file_and_creates_it_safely)
{
    kestrel_process_t kestrel;
    const std::string state = kestrel.path("state/front");  // does not exist yet
    const std::string cfg = state + "/camera.cfg";
    kestrel.log_file = state + "/camera.log";
    kestrel.stderr_path = kestrel.path("stderr.txt");
    ASSERT_TRUE(kestrel.start({}, {"--config", cfg}));
    // A new instance listens on port 80 of all interfaces, as the defaults
    // say; whether that works depends on the machine.
    ASSERT_TRUE(kestrel.wait_for_log("activate"));
    ASSERT_EQ(kestrel.stop(), 0);

    const std::string log = kestrel.log();
    expect_in_order(log, {" (UTC) logging started\r\n", " (UTC) new configuration file " + cfg +
                                                            " written with a random web password\r\n",
                          "////root=" + state + "/root/\r\n"});
    EXPECT_EQ(log.find("can not read cfg-file"), std::string::npos);
    const std::string said = kestrel_test::read_file(kestrel.stderr_path);
    EXPECT_NE(said.find("new configuration file " + cfg), std::string::npos);
    // Where the page is, beside where the password is.
    EXPECT_NE(said.find("kestrel: the web page will be at http://"), std::string::npos) << said;
    // The password is the file's, and not the well-known default.
    const std::vector<std::string> lines = split_crlf(kestrel_test::read_file(cfg));
    ASSERT_EQ(lines.size(), 52u);
    ASSERT_EQ(lines[13].rfind("password=", 0), 0u);
    EXPECT_EQ(lines[13].size(), std::string("password=").size() + 16);
    EXPECT_EQ(log.find("////password=4137"), std::string::npos);
    EXPECT_NE(log.find("////" + lines[13] + "\r\n"), std::string::npos);
    EXPECT_EQ(lines[39], "daemon_mode=true");  // no display: a service
    EXPECT_EQ(mode_of(cfg), 0600u);
    EXPECT_EQ(mode_of(kestrel.log_path()), 0600u);
    EXPECT_TRUE(std::filesystem::is_directory(state + "/root/img"));
    EXPECT_TRUE(std::filesystem::is_directory(state + "/root/rec"));
    // Nothing beside the executable but what the test put there.
    for (const char* name : {"kestrel.cfg", "kestrel.log", "root"})
        EXPECT_FALSE(std::filesystem::exists(kestrel.path(name))) << name;

    // The second start reads the file it wrote.
    kestrel.stderr_path.clear();
    std::filesystem::remove(kestrel.log_path());  // its lines must be the second run's
    ASSERT_TRUE(kestrel.start({}, {"--config=" + cfg}));
    ASSERT_TRUE(kestrel.wait_for_log("activate"));
    ASSERT_EQ(kestrel.stop(), 0);
    EXPECT_EQ(kestrel.log().find("new configuration file"), std::string::npos);
    EXPECT_NE(kestrel.log().find("////" + lines[13] + "\r\n"), std::string::npos);
}

namespace {

// A datagram socket standing in for the service manager's notify socket.
class notify_socket_t {
public:
    explicit notify_socket_t(const std::string& path_) : path(path_)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~notify_socket_t() { ::close(fd); }

    // Collects messages until one (of all so far) contains needle; false on
    // time-out.
    bool wait_for(const std::string& needle, int timeout_ms = 15000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t seen = 0;
        for (;;) {
            for (; seen < messages.size(); ++seen)
                if (messages[seen].find(needle) != std::string::npos)
                    return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !receive_one(static_cast<int>(left.count())))
                return false;
        }
    }
    // Collects whatever arrives within ms.
    void collect_for(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            receive_one(static_cast<int>(left.count()));
        }
    }
    size_t count(const std::string& needle) const
    {
        return static_cast<size_t>(std::count_if(messages.begin(), messages.end(), [&](const std::string& m) {
            return m.find(needle) != std::string::npos;
        }));
    }

    std::string path;
    int fd = -1;
    bool bound = false;
    std::vector<std::string> messages;

private:
    bool receive_one(int timeout_ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0)
            return false;
        messages.emplace_back(buffer, static_cast<size_t>(n));
        return true;
    }
};

}  // namespace

TEST(service, notify_protocol_ready_status_watchdog_stopping)
{
    kestrel_process_t kestrel;
    notify_socket_t manager(kestrel.path("notify"));
    ASSERT_TRUE(manager.bound);
    kestrel.write_cfg({"daemon_mode=true", "ip=127.0.0.1",
                       "port=" + std::to_string(kestrel_test::free_loopback_port()),
                       "ipc_ip=test://320x240@10", "rec_active=true"});
    ASSERT_TRUE(kestrel.start({"NOTIFY_SOCKET=" + manager.path, "WATCHDOG_USEC=400000"}));

    ASSERT_TRUE(manager.wait_for("READY=1"));
    // Ready means the server is up and the first camera attempt is due.
    EXPECT_NE(kestrel.log().find(" server activated\r\n"), std::string::npos);
    EXPECT_NE(manager.messages.back().find("STATUS=camera not connected, retrying, not recording"),
              std::string::npos)
        << manager.messages.back();
    ASSERT_TRUE(manager.wait_for("STATUS=camera connected, recording"));
    // Every 200 ms: half the watchdog interval.
    const size_t watchdogs = manager.count("WATCHDOG=1");
    manager.collect_for(1000);
    EXPECT_GE(manager.count("WATCHDOG=1"), watchdogs + 3);

    ::kill(kestrel.pid, SIGTERM);
    ASSERT_TRUE(manager.wait_for("STOPPING=1"));
    EXPECT_EQ(kestrel.stop(), 0);
    EXPECT_EQ(manager.count("READY=1"), 1u);
}

TEST(service, nothing_is_sent_without_a_notify_socket)
{
    kestrel_process_t kestrel;
    notify_socket_t manager(kestrel.path("notify"));
    kestrel.write_cfg({"daemon_mode=true", "demo=true", "ip=127.0.0.1",
                       "port=" + std::to_string(kestrel_test::free_loopback_port())});
    ASSERT_TRUE(kestrel.start({"WATCHDOG_USEC=200000"}));
    ASSERT_TRUE(kestrel.wait_for_log("server activated"));
    manager.collect_for(600);
    EXPECT_EQ(kestrel.stop(), 0);
    EXPECT_TRUE(manager.messages.empty());
}

// The web port is held by another socket: the reason, with the address, goes
// to standard error, the log and the service status, the camera and
// recording start all the same, and the server listens within a reconnect
// interval of the port being freed.
TEST(service, web_port_taken_is_said_and_retried_until_it_is_free)
{
    kestrel_process_t kestrel;
    notify_socket_t manager(kestrel.path("notify"));
    ASSERT_TRUE(manager.bound);
    const uint16_t port = kestrel_test::free_loopback_port();
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    kestrel.write_cfg({"daemon_mode=true", "ip=127.0.0.1", "port=" + std::to_string(port),
                       "ipc_ip=test://320x240@10", "rec_active=true", "recon_interval=1000"});
    kestrel.stderr_path = kestrel.path("stderr.txt");
    ASSERT_TRUE(kestrel.start({"NOTIFY_SOCKET=" + manager.path}));

    const std::string reason = "web server can not listen on 127.0.0.1:" + std::to_string(port) +
                               " (Address already in use)";
    ASSERT_TRUE(manager.wait_for("READY=1"));
    EXPECT_NE(manager.messages.back().find(reason), std::string::npos) << manager.messages.back();
    ASSERT_TRUE(kestrel.wait_for_log(" rec started\r\n")) << kestrel.log();
    EXPECT_NE(kestrel_test::read_file(kestrel.stderr_path).find("kestrel: " + reason), std::string::npos)
        << kestrel_test::read_file(kestrel.stderr_path);
    expect_in_order(kestrel.log(), {" can not activate server\r\n", " " + reason + ", trying again every 1000 ms\r\n"});
    // Retrying says nothing new while the reason stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(kestrel.log().find(reason, kestrel.log().find(reason) + 1), std::string::npos);

    ::close(holder);
    const auto freed = std::chrono::steady_clock::now();
    ASSERT_TRUE(kestrel.wait_for_log(" server activated\r\n", 5000)) << kestrel.log();
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - freed)
                  .count(), 1000 + 500);
    const int client = kestrel_test::connect_loopback(port);
    EXPECT_GE(client, 0);
    EXPECT_TRUE(kestrel_test::send_all(client, "GET /healthz HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(kestrel_test::receive(client, 5000).rfind("HTTP/1.1 401", 0), 0u);
    ::close(client);
    manager.collect_for(2000);  // the status is looked at once a second
    ASSERT_FALSE(manager.messages.empty());
    EXPECT_NE(manager.messages.back().find("STATUS=camera connected, recording"), std::string::npos)
        << manager.messages.back();
    EXPECT_EQ(manager.messages.back().find("can not listen"), std::string::npos) << manager.messages.back();
    EXPECT_EQ(kestrel.stop(), 0);
}

// An instance whose folder can not be written (a read-only file system, so
// that root too is refused): standard error names the log and the
// configuration file with the reason and the way out, and the program runs.
TEST(command_line, unwritable_folder_is_said_on_standard_error)
{
    kestrel_process_t kestrel;
    const std::string folder = kestrel.path("readonly");
    std::filesystem::create_directories(folder);
    if (mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
        GTEST_SKIP() << "can not mount a read-only tmpfs on " << folder << " (" << std::strerror(errno)
                     << "): this test needs root and mount permission";
    struct unmount_t {
        std::string path;
        ~unmount_t() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{folder};
    const std::string cfg = folder + "/camera.cfg";
    kestrel.log_file = folder + "/camera.log";
    kestrel.stderr_path = kestrel.path("stderr.txt");
    ASSERT_TRUE(kestrel.start({}, {"--config", cfg}));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    std::string said;
    while (std::chrono::steady_clock::now() < end &&
           (said = kestrel_test::read_file(kestrel.stderr_path)).find("configuration file " + cfg) == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Said before start-up ends; the program then runs on (its SIGTERM
    // handling comes with the rest of the start-up).
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_TRUE(kestrel.running());
    EXPECT_EQ(kestrel.stop(), 0);
    said = kestrel_test::read_file(kestrel.stderr_path);
    EXPECT_NE(said.find("kestrel: can not write the log " + folder + "/camera.log (Read-only file system); "
                        "start it with --config FILE"), std::string::npos) << said;
    EXPECT_NE(said.find("kestrel: can not write the configuration file " + cfg + " (Read-only file system)"),
              std::string::npos) << said;
}
