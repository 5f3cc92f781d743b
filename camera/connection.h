// The camera connection: login and live preview (connect_camera), their undo
// (disconnect_camera), and the stream callback that feeds the player.
// connect/disconnect run on the GUI thread with server_lock held (except at
// shutdown); stream_data_callback runs on the camera layer's thread.
#pragma once

#include <cstdint>

#include "settings/settings.h"

// Logs in with s.ipc_* and starts the preview of s.channel / s.link_mode;
// a login whose preview fails is logged out at once.
bool connect_camera(const settings_t& s);
// Stops preview, closes the player stream, logs out; safe with handles -1.
void disconnect_camera();

void stream_data_callback(int32_t handle, uint32_t data_type, const uint8_t* bytes,
                          uint32_t length, void* user);
