// The camera SDK layer's entry points. Placeholder while the receive thread
// is being built: every operation fails cleanly.
#include "camera/sdk.h"

bool sdk_init() { return true; }
void sdk_cleanup() {}
bool sdk_set_connect_time(uint32_t, uint32_t) { return true; }
bool sdk_set_reconnect(uint32_t, int32_t) { return true; }
int32_t sdk_login(const char*, uint16_t, const char*, const char*, void*) { return -1; }
bool sdk_logout(int32_t) { return false; }
int32_t sdk_start_preview(int32_t, const preview_request_t*, stream_data_callback_t, void*, int32_t)
{
    return -1;
}
bool sdk_stop_preview(int32_t) { return false; }
bool sdk_start_save(int32_t, const char*) { return false; }
bool sdk_stop_save(int32_t) { return false; }
bool sdk_capture_jpeg(int32_t, int32_t, const jpeg_params_t*, const char*) { return false; }
