// Result codes of a node's job and their names for the log. "busy" is the
// result while a job runs; every other code is the outcome of the last job.
// Any thread; no state.
#pragma once

#include <cstdint>

enum : uint8_t {
    se_no_result = 0,
    se_busy = 1,
    se_already_connected = 2,
    se_socket_failed = 3,
    se_can_not_enable_nonblocking_mode = 4,
    se_select_failed = 5,
    se_connection_attempt_failed = 6,
    se_already_disconnected = 7,
    se_shutdown_failed = 8,
    se_recv_failed = 9,
    se_connection_closed = 10,
    se_send_failed = 11,
    se_aborted_with_timeout = 12,
    se_aborted = 13,
    se_success = 14,
    se_success_with_overflow = 15,
};

// "no_result", "busy", ... ; "unknown_result" for any other code.
const char* result_name(uint8_t result);
