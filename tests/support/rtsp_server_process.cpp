// The RTSP test server as a child process: its stdout on a pipe, the
// "ready <port>" line read with a time-out.
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
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argv = {RTSP_TEST_SERVER, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    kestrel_test::child_options_t options;
    options.stdout_fd = out[1];
    const bool started = child_.start(argv, options);
    close(out[1]);
    const std::string line = started ? read_line(out[0]) : std::string();
    close(out[0]);
    if (std::sscanf(line.c_str(), "ready %d", &port_) != 1) {
        stop();
        return false;
    }
    return true;
}

void rtsp_server_process::stop()
{
    resume();
    child_.stop(5000);  // a server that does not end within five seconds is killed
}

void rtsp_server_process::pause()
{
    if (child_.running() && !paused_ && kill(child_.pid, SIGSTOP) == 0)
        paused_ = true;
}

void rtsp_server_process::resume()
{
    if (child_.running() && paused_ && kill(child_.pid, SIGCONT) == 0)
        paused_ = false;
}

std::string rtsp_server_process::url(const std::string& path) const
{
    return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
}
