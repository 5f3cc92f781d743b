// The state shared between the GUI thread, the camera layer's threads and the
// web server thread about the live picture, and the lock that guards it.
#pragma once

#include <cstdint>

#include "settings/mt_obj.h"

class video_surface_t;

// Guards player_port (and the opening and closing of its stream), the picture
// and client sizes, demo_mode_on, overlay_alpha and picture_wait_ms. A leaf
// lock.
extern mt_obj player_lock;

extern int32_t player_port;      // open player stream, -1 = none
extern int32_t picture_width;    // size of the picture the last snapshot read
extern int32_t picture_height;
extern int32_t client_width;     // the main window's client size; the picture
extern int32_t client_height;    // size in demo mode
extern bool demo_mode_on;        // mirrors the demo timer's enabled state
extern int32_t overlay_alpha;    // mirrors the alpha setting for the demo snapshot
// How long the web server waits for a live picture that is on its way before
// it gives up: the camera connect time, mirrored from the settings.
extern int32_t picture_wait_ms;

// The surface the player draws into: the main window, or null in daemon mode.
// Set once while the main window is built, before the first connection.
extern video_surface_t* player_window;

// Camera connection handles, guarded by server_lock; negative = none.
// preview_handle >= 0 is the one test for "the camera is connected".
extern int32_t login_handle;
extern int32_t preview_handle;
