// Test support for in-process main window tests: the form reads its
// configuration file beside the running test executable, so each test
// writes that file first (tests of one executable must run serially).
// Loopback only: the web server listens on 127.0.0.1 and the camera address
// is a loopback port nobody listens on.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "tests/support/kestrel_process.h"

namespace form_fixture {

inline std::string own_path()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Also puts the settings record back to its defaults: the form takes from
// the file only the keys it finds, and an earlier test in this process may
// have changed the rest.
inline void write_own_cfg(const std::vector<std::string>& lines)
{
    settings = settings_t();
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    kestrel_test::write_file(own_path() + ".cfg", text);
}

// A quiet start: loopback web server on a free port, a camera that is never
// there and is retried rarely, a 400 x 300 window; extra lines are added
// after these (a key given twice keeps its first value).
inline std::vector<std::string> quiet_cfg(bool demo, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> lines = extra;
    const std::vector<std::string> base = {
        "ip=127.0.0.1", "port=" + std::to_string(kestrel_test::free_loopback_port()),
        std::string("demo=") + (demo ? "true" : "false"), "ipc_ip=127.0.0.1",
        "ipc_port=" + std::to_string(kestrel_test::free_loopback_port()), "recon_interval=100000",
        "width=400", "height=300"};
    lines.insert(lines.end(), base.begin(), base.end());
    return lines;
}

}  // namespace form_fixture
