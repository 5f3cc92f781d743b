// Test support: runs the real kestrel executable in a temporary folder of its
// own (kestrel.cfg and kestrel.log lie beside the executable), waits for log
// lines, stops it with SIGTERM or kills it; and small loopback socket helpers.
// Header-only so that every test folder can use it. Loopback only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#ifndef KESTREL_BINARY
#error "KESTREL_BINARY must name the built kestrel executable"
#endif

namespace kestrel_test {

// Runs a shell command to its end: its exit status (-1 when it could not
// run or did not exit) and its standard output appended to output.
inline int run_command(const std::string& command, std::string& output)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, pipe)) > 0)
        output.append(block, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A port that was free a moment ago on 127.0.0.1.
inline uint16_t free_loopback_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(s);
    return port;
}

// A blocking connection to 127.0.0.1:port, or -1.
inline int connect_loopback(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

inline bool send_all(int s, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(s, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes, want bytes arrived, or timeout_ms of silence.
inline std::string receive(int s, int timeout_ms, size_t want = SIZE_MAX)
{
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < want) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        const ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

// True when the peer has closed the connection within timeout_ms.
inline bool peer_closed(int s, int timeout_ms)
{
    char buffer[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 50) < 0)
            return false;
        if (p.revents == 0)
            continue;
        const ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

class kestrel_process_t {
public:
    kestrel_process_t()
    {
        char pattern[] = "/tmp/kestrel-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            dir = pattern;
    }
    ~kestrel_process_t()
    {
        kill_now();
        if (!dir.empty() && std::getenv("KESTREL_KEEP_TEST_DIRS") == nullptr) {
            std::error_code error;
            std::filesystem::remove_all(dir, error);
        }
    }
    kestrel_process_t(const kestrel_process_t&) = delete;
    kestrel_process_t& operator=(const kestrel_process_t&) = delete;

    std::string dir;        // the folder holding the executable, its cfg and log
    mutable pid_t pid = -1; // the running program, -1 when none
    std::string executable;   // run instead of the built program when set
    std::string log_file;     // the log when it is not dir's kestrel.log
    std::string stderr_path;  // where the program's stderr goes when set

    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string cfg_path() const { return path("kestrel.cfg"); }
    std::string log_path() const { return log_file.empty() ? path("kestrel.log") : log_file; }
    std::string log() const { return read_file(log_path()); }

    // Writes kestrel.cfg from lines (CR LF ends), as a person's file would be.
    void write_cfg(const std::vector<std::string>& lines) const
    {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\r\n";
        write_file(cfg_path(), text);
    }

    // Starts the program; extra_env entries look like "NAME=value", args
    // follow the program's name. Without a DISPLAY among them the program
    // finds no display, as on a server, and chooses the offscreen platform
    // by itself. Runs `executable` when set, else a link to the built
    // program in dir.
    bool start(const std::vector<std::string>& extra_env = {}, const std::vector<std::string>& args = {})
    {
        std::string exe = executable;
        if (exe.empty()) {
            exe = path("kestrel");
            if (!link_executable(exe))
                return false;
        }
        std::vector<std::string> env_text;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("DISPLAY=", 0) != 0 &&
                entry.rfind("WAYLAND_DISPLAY=", 0) != 0 && entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
                entry.rfind("WATCHDOG_", 0) != 0)
                env_text.push_back(entry);
        }
        for (const std::string& entry : extra_env)
            env_text.push_back(entry);
        std::vector<char*> env;
        for (std::string& entry : env_text)
            env.push_back(entry.data());
        env.push_back(nullptr);
        std::vector<std::string> arg_text{exe};
        arg_text.insert(arg_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : arg_text)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (!stderr_path.empty())
            posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int result = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0)
            pid = -1;
        return result == 0;
    }

    // Waits until the log contains needle; false on time-out or exit.
    bool wait_for_log(const std::string& needle, int timeout_ms = 15000) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (log().find(needle) != std::string::npos)
                return true;
            if (!running())
                return log().find(needle) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Reaps the program when it has ended (its status goes to exit_status).
    bool running() const
    {
        if (pid <= 0)
            return false;
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == 0)
            return true;
        exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid = -1;
        return false;
    }

    mutable int exit_status = -1;  // of the last run, -1 after a signal

    // SIGTERM, then waits; the exit status, or -1 when it did not end in time
    // (it is then killed) or ended by a signal.
    int stop(int timeout_ms = 20000)
    {
        if (!running())
            return exit_status;
        ::kill(pid, SIGTERM);
        return wait_exit(timeout_ms);
    }

    void kill_now()
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

private:
    bool link_executable(const std::string& exe) const
    {
        if (std::filesystem::exists(exe))
            return true;
        std::error_code error;
        std::filesystem::create_hard_link(KESTREL_BINARY, exe, error);
        if (error)
            std::filesystem::copy_file(KESTREL_BINARY, exe, error);
        return !error;
    }

    int wait_exit(int timeout_ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            if (!running())
                return exit_status;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill_now();
        return -1;
    }
};

}  // namespace kestrel_test
