// The scripted camera SDK and player for the connection tests.
#include "tests/camera/fake_camera_layers.h"

#include "camera/sdk.h"
#include "player/player.h"

fake_script_t fake_script;
std::vector<std::string> fake_calls;

void fake_reset()
{
    fake_script = fake_script_t{};
    fake_calls.clear();
}

static void record(const std::string& name, int64_t value)
{
    fake_calls.push_back(name + " " + std::to_string(value));
}

bool sdk_init() { return true; }
void sdk_cleanup() {}
bool sdk_set_connect_time(uint32_t, uint32_t) { return true; }
bool sdk_set_reconnect(uint32_t, int32_t) { return true; }

int32_t sdk_login(const char* address, uint16_t port, const char* user, const char* password,
                  void* output)
{
    fake_calls.push_back(std::string("sdk_login ") + address + " " + std::to_string(port) + " " +
                         user + " " + password + (output ? " out" : " null"));
    return fake_script.login_result;
}

bool sdk_logout(int32_t handle)
{
    record("sdk_logout", handle);
    return true;
}

int32_t sdk_start_preview(int32_t login, const preview_request_t* request,
                          stream_data_callback_t callback, void* user, int32_t reserved)
{
    fake_calls.push_back("sdk_start_preview " + std::to_string(login) + " " +
                         std::to_string(request->channel) + " " +
                         std::to_string(request->link_mode) + " " +
                         std::to_string(request->reserved1) + " " +
                         std::to_string(request->reserved2) + (callback ? " cb" : " nocb") +
                         (user ? " user" : " 0") + " " + std::to_string(reserved));
    return fake_script.preview_result;
}

bool sdk_stop_preview(int32_t handle)
{
    record("sdk_stop_preview", handle);
    return true;
}

std::shared_ptr<packet_fanout_obj> sdk_preview_packets(int32_t) { return nullptr; }
bool sdk_start_save(int32_t, const char*) { return false; }
bool sdk_stop_save(int32_t) { return false; }
bool sdk_capture_jpeg(int32_t, int32_t, const jpeg_params_t*, const char*) { return false; }

bool player_get_port(int32_t* port)
{
    fake_calls.push_back("player_get_port");
    if (fake_script.get_port_ok)
        *port = fake_script.next_port;
    return fake_script.get_port_ok;
}

bool player_set_stream_mode(int32_t port, uint32_t mode)
{
    record("player_set_stream_mode " + std::to_string(port), mode);
    return fake_script.set_mode_ok;
}

bool player_open_stream(int32_t port, const uint8_t*, uint32_t length, uint32_t buffer_size)
{
    fake_calls.push_back("player_open_stream " + std::to_string(port) + " " +
                         std::to_string(length) + " " + std::to_string(buffer_size));
    return fake_script.open_ok;
}

bool player_play(int32_t port, video_surface_t* surface)
{
    record(surface ? "player_play surface" : "player_play null", port);
    return fake_script.play_ok;
}

bool player_input_data(int32_t port, const uint8_t*, uint32_t length)
{
    record("player_input_data " + std::to_string(port), length);
    return true;
}

bool player_input_packets(int32_t, const std::shared_ptr<packet_fanout_obj>&) { return false; }

bool player_stop(int32_t port)
{
    record("player_stop", port);
    return true;
}

bool player_close_stream(int32_t port)
{
    record("player_close_stream", port);
    return true;
}

bool player_free_port(int32_t port)
{
    record("player_free_port", port);
    return true;
}

uint32_t player_has_picture(int32_t) { return 0; }
bool player_refresh(int32_t) { return false; }
bool player_get_picture_size(int32_t, int32_t*, int32_t*) { return false; }
bool player_get_bmp(int32_t, uint8_t*, uint32_t, uint32_t*) { return false; }
bool player_get_scaled_dib(int32_t, int32_t, int32_t, uint8_t*, int32_t) { return false; }
uint64_t player_picture_serial(int32_t) { return 0; }
