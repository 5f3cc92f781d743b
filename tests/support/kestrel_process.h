// Test support: runs the real kestrel executable in a temporary folder of its
// own (kestrel.cfg and kestrel.log lie beside the executable), waits for log
// lines, stops it with SIGTERM or kills it; and the loopback helpers under
// the names its users know them by.
// Header-only so that every test folder can use it. Loopback only.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/file_bytes.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

#ifndef KESTREL_BINARY
#error "KESTREL_BINARY must name the built kestrel executable"
#endif

namespace kestrel_test {

// The loopback helpers under the names these tests know them by.
inline uint16_t free_loopback_port() { return loopback::free_port(); }
inline int connect_loopback(uint16_t port) { return loopback::connect_to(port); }
using loopback::peer_closed;
using loopback::receive;
using loopback::send_all;

class kestrel_process_t : public child_process_t {
public:
    kestrel_process_t() : dir(folder.path()) {}
    ~kestrel_process_t() { kill_now(); }  // before the folder goes
    kestrel_process_t(const kestrel_process_t&) = delete;
    kestrel_process_t& operator=(const kestrel_process_t&) = delete;

    temp_folder_t folder{"kestrel-test"};
    std::string dir;          // the folder holding the executable, its cfg and log
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
        child_options_t options;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("DISPLAY=", 0) != 0 &&
                entry.rfind("WAYLAND_DISPLAY=", 0) != 0 && entry.rfind("NOTIFY_SOCKET=", 0) != 0 &&
                entry.rfind("WATCHDOG_", 0) != 0)
                options.environment.push_back(entry);
        }
        options.environment.insert(options.environment.end(), extra_env.begin(), extra_env.end());
        options.stderr_path = stderr_path;
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), args.begin(), args.end());
        return child_process_t::start(argv, options);
    }

    // Waits until the log contains needle; false on time-out or exit.
    bool wait_for_log(const std::string& needle, int timeout_ms = 15000) const
    {
        wait_until(deadline_in(std::chrono::milliseconds(timeout_ms)),
                   [&] { return log().find(needle) != std::string::npos || !running(); });
        return log().find(needle) != std::string::npos;
    }

    // SIGTERM, then waits; the exit status, or -1 when it did not end in time
    // (it is then killed) or ended by a signal.
    int stop(int timeout_ms = 20000) { return child_process_t::stop(timeout_ms); }

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
};

}  // namespace kestrel_test
