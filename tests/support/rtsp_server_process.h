// Runs tools/rtsp_test_server as a child process for the live camera tests:
// start it on a loopback port, stop, kill, pause (SIGSTOP) and resume it.
// Used from the test's main thread only.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

class rtsp_server_process {
public:
    ~rtsp_server_process() { stop(); }

    // Starts the server with these arguments on port (0 = any free port) and
    // waits until it listens; false when it does not come up.
    bool start(const std::vector<std::string>& args, int port = 0);
    // SIGTERM, then waits for the process to end.
    void stop();
    void pause();
    void resume();
    int port() const { return port_; }
    // rtsp://127.0.0.1:<port><path>
    std::string url(const std::string& path) const;

private:
    kestrel_test::child_process_t child_;  // the server while it runs
    int port_ = 0;    // the port it listens on
    bool paused_ = false;  // stopped by SIGSTOP
};
