// Result names: a constant table indexed by the result code.
#include "net/se_result.h"

namespace {
const char* const result_names[] = {
    "no_result",
    "busy",
    "already_connected",
    "socket_failed",
    "can_not_enable_nonblocking_mode",
    "select_failed",
    "connection_attempt_failed",
    "already_disconnected",
    "shutdown_failed",
    "recv_failed",
    "connection_closed",
    "send_failed",
    "aborted_with_timeout",
    "aborted",
    "success",
    "success_with_overflow",
};
constexpr unsigned result_count = sizeof(result_names) / sizeof(result_names[0]);
}  // namespace

const char* result_name(uint8_t result)
{
    return result < result_count ? result_names[result] : "unknown_result";
}
