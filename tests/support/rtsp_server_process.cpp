// Child process handling for the RTSP test server: fork/exec with its stdout
// on a pipe, the "ready <port>" line read with a time-out.
#include "tests/support/rtsp_server_process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The server needs GStreamer's start-up and socket set-up; generous for
// sanitizer builds on a busy machine.
constexpr int ready_timeout_ms = 20000;

// Reads one line from fd within the time-out.
std::string read_line(int fd)
{
    std::string line;
    char c = 0;
    while (line.size() < 200) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ready_timeout_ms) <= 0 || read(fd, &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    return line;
}

}  // namespace

bool rtsp_server_process::start(const std::vector<std::string>& args, int port)
{
    stop();
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<std::string> all = {RTSP_TEST_SERVER, "--port", std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
        close(out[0]);
        return false;
    }
    const std::string line = read_line(out[0]);
    close(out[0]);
    if (std::sscanf(line.c_str(), "ready %d", &port_) != 1) {
        stop();
        return false;
    }
    return true;
}

void rtsp_server_process::stop()
{
    if (pid_ <= 0)
        return;
    resume();
    kill(pid_, SIGTERM);
    // A server that does not end within five seconds is killed.
    for (int i = 0; i < 100; i++) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void rtsp_server_process::pause()
{
    if (pid_ > 0 && !paused_ && kill(pid_, SIGSTOP) == 0)
        paused_ = true;
}

void rtsp_server_process::resume()
{
    if (pid_ > 0 && paused_ && kill(pid_, SIGCONT) == 0)
        paused_ = false;
}

std::string rtsp_server_process::url(const std::string& path) const
{
    return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
}
