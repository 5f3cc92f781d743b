// Test support: a program a test starts as its child and ends by the
// child's id (SIGTERM, then SIGKILL when it does not end by a deadline), and
// a shell command run to its end with its output. Used from the test's main
// thread. Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/wait.h"

extern char** environ;

namespace kestrel_test {

// How the child starts; its standard input is always /dev/null.
struct child_options_t {
    std::vector<std::string> environment;  // "NAME=value" entries; empty: this process's own
    int stdout_fd = -1;                    // becomes its standard output; -1: this process's
    std::string stderr_path;               // its standard error goes there (made or emptied) when set
    bool quiet = false;                    // standard output and error to /dev/null unless given above
    std::vector<int> extra_fds;            // become its descriptors 3, 4, ... in this order
    bool ends_with_parent = false;         // SIGTERM when the thread that started it ends
};

class child_process_t {
public:
    child_process_t() = default;
    ~child_process_t() { kill_now(); }
    child_process_t(const child_process_t&) = delete;
    child_process_t& operator=(const child_process_t&) = delete;

    // Starts argv[0] (looked up in PATH when it holds no "/") with argv;
    // false when it could not be started. A program that cannot be run
    // exits with status 127.
    bool start(const std::vector<std::string>& argv, const child_options_t& options = {})
    {
        kill_now();
        if (argv.empty())
            return false;
        // Everything the child needs is made before fork: after it, in a
        // process with threads, only async-signal-safe calls are allowed.
        std::vector<std::string> arg_text = argv, env_text = options.environment;
        std::vector<char*> args = pointers(arg_text);
        std::vector<char*> env = pointers(env_text);
        char** envp = options.environment.empty() ? environ : env.data();
        const std::string null_device = "/dev/null";
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child < 0)
            return false;
        if (child == 0) {
            if (options.ends_with_parent) {
                prctl(PR_SET_PDEATHSIG, SIGTERM);
                if (getppid() != parent)
                    _exit(127);
            }
            // Out of the way of 0..2 and the numbers they go to first.
            int moved[16];
            const size_t extra = options.extra_fds.size() < 16 ? options.extra_fds.size() : 16;
            for (size_t i = 0; i < extra; ++i)
                moved[i] = fcntl(options.extra_fds[i], F_DUPFD, 3 + 16);
            const int null_fd = open(null_device.c_str(), O_RDWR);
            dup2(null_fd, 0);
            if (options.quiet) {
                dup2(null_fd, 1);
                dup2(null_fd, 2);
            }
            if (options.stdout_fd >= 0)
                dup2(options.stdout_fd, 1);
            if (!options.stderr_path.empty()) {
                const int err = open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(err, 2);
            }
            for (size_t i = 0; i < extra; ++i)
                dup2(moved[i], 3 + static_cast<int>(i));  // dup2 clears close-on-exec
            execvpe(args[0], args.data(), envp);
            _exit(127);
        }
        pid = child;
        exit_status = -1;
        return true;
    }

    // Reaps the child when it has ended (its status goes to exit_status).
    bool running() const
    {
        if (pid <= 0)
            return false;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == 0)
            return true;
        exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid = -1;
        return false;
    }

    // Waits for the child to end by itself within timeout_ms; its exit
    // status, or -1 when it did not end in time (it is then killed) or
    // ended by a signal.
    int wait_exit(int timeout_ms)
    {
        if (wait_until(deadline_in(std::chrono::milliseconds(timeout_ms)), [this] { return !running(); }))
            return exit_status;
        kill_now();
        return -1;
    }

    // SIGTERM, then wait_exit.
    int stop(int timeout_ms = 5000)
    {
        if (!running())
            return exit_status;
        ::kill(pid, SIGTERM);
        return wait_exit(timeout_ms);
    }

    // SIGKILL and reap, at once.
    void kill_now()
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    mutable pid_t pid = -1;         // the running child, -1 when none
    mutable int exit_status = -1;   // of the last run, -1 after a signal

private:
    static std::vector<char*> pointers(std::vector<std::string>& texts)
    {
        std::vector<char*> result;
        for (std::string& text : texts)
            result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    }
};

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

}  // namespace kestrel_test
