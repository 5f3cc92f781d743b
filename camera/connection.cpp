// The camera connection: connect_camera/disconnect_camera on the GUI thread
// (server_lock held by the caller, except at shutdown) and the stream callback
// on the camera layer's receive thread. The handles live in video_state.cpp;
// player_port is opened and closed here under player_lock.
#include "camera/connection.h"

#include "camera/sdk.h"
#include "player/player.h"
#include "player/video_state.h"

bool connect_camera(const settings_t& s)
{
    uint8_t login_output[sdk_login_output_size] = {};
    login_handle = sdk_login(s.ipc_ip.c_str(), s.ipc_port, s.ipc_login.c_str(),
                             s.ipc_password.c_str(), login_output);
    if (login_handle < 0)
        return false;

    preview_request_t request{s.channel, s.link_mode, 0, 0};
    preview_handle = sdk_start_preview(login_handle, &request, stream_data_callback, nullptr, 0);
    if (preview_handle >= 0)
        return true;

    // A login without a preview is never left behind.
    sdk_logout(login_handle);
    login_handle = -1;
    return false;
}

// Closes the open player stream in the order the player expects; the caller
// makes sure nothing else uses the port meanwhile.
static void close_player_port()
{
    if (player_port < 0)
        return;
    player_stop(player_port);
    player_close_stream(player_port);
    player_free_port(player_port);
    player_port = -1;
}

void disconnect_camera()
{
    // After sdk_stop_preview no stream callback runs any more, so the port
    // can be closed without player_lock; the web server thread is held off
    // by server_lock, which the caller holds.
    sdk_stop_preview(preview_handle);
    preview_handle = -1;
    close_player_port();
    sdk_logout(login_handle);
    login_handle = -1;
}

// Opens a player stream for a new stream header; undoes only what succeeded.
// The port takes the preview's packets from its fan-out, by reference.
static void open_player_port(int32_t handle, const uint8_t* header, uint32_t length)
{
    if (length == 0 || !player_get_port(&player_port)) {
        player_port = -1;
        return;
    }
    if (!player_set_stream_mode(player_port, 0) ||
        !player_open_stream(player_port, header, length, 1048576)) {
        player_free_port(player_port);
        player_port = -1;
        return;
    }
    if (const auto packets = sdk_preview_packets(handle))
        player_input_packets(player_port, packets);
    if (!player_play(player_port, player_window)) {
        player_close_stream(player_port);
        player_free_port(player_port);
        player_port = -1;
    }
}

void stream_data_callback(int32_t handle, uint32_t data_type, const uint8_t* bytes,
                          uint32_t length, void*)
{
    if (data_type == sdk_stream_header) {
        mt_guard_t guard(player_lock);
        close_player_port();
        open_player_port(handle, bytes, length);
    } else if (data_type == sdk_stream_data) {
        // Data blocks of the byte format (a preview hands its packets to the
        // port through its fan-out instead). player_port changes only on
        // this thread (above) or after the preview has stopped, so it is
        // read here without the lock.
        if (player_port >= 0 && length > 0)
            player_input_data(player_port, bytes, length);
    }
}
