// Error names: a constant table indexed by the error code.
#include "net/se_error.h"

namespace {
const char* const error_names[] = {
    "no_error",
    "socket_failed",
    "bind_failed",
    "listen_failed",
    "can_not_enable_nonblocking_mode",
    "accept_failed",
    "can_not_enable_nonblocking_mode_on_accepted_socket",
    "select_failed",
};
constexpr int32_t error_count = sizeof(error_names) / sizeof(error_names[0]);
}  // namespace

const char* error_name(int32_t error)
{
    return error >= 0 && error < error_count ? error_names[error] : "unknown_error";
}
