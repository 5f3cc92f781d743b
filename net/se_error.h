// Error codes of the server level (listening socket, accept) and their names
// for the log. Any thread; no state.
#pragma once

#include <cstdint>

enum : int32_t {
    se_no_error = 0,
    se_error_socket_failed = 1,
    se_error_bind_failed = 2,
    se_error_listen_failed = 3,
    se_error_can_not_enable_nonblocking_mode = 4,
    se_error_accept_failed = 5,
    se_error_can_not_enable_nonblocking_mode_on_accepted_socket = 6,
    se_error_select_failed = 7,
};

// "no_error", "socket_failed", ... ; "unknown_error" for any other code.
const char* error_name(int32_t error);
