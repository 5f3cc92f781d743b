// A scripted stand-in for the camera SDK and player layers, linked instead
// of the real ones into the connection tests: each call is recorded as a
// line of text and answers what the script says. Single-threaded use only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct fake_script_t {
    int32_t login_result = 0;          // what sdk_login returns
    int32_t preview_result = 0;        // what sdk_start_preview returns
    bool get_port_ok = true;
    int32_t next_port = 3;             // the port player_get_port hands out
    bool set_mode_ok = true;
    bool open_ok = true;
    bool play_ok = true;
};

extern fake_script_t fake_script;
extern std::vector<std::string> fake_calls;  // in call order, e.g. "sdk_logout 7"

void fake_reset();
