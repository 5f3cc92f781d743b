// Definitions of the shared live-picture state.
#include "player/video_state.h"

mt_obj player_lock;
int32_t player_port = -1;
int32_t picture_width = 0;
int32_t picture_height = 0;
int32_t client_width = 0;
int32_t client_height = 0;
bool demo_mode_on = false;
int32_t overlay_alpha = 0;
int32_t picture_wait_ms = 2000;
video_surface_t* player_window = nullptr;
int32_t login_handle = -1;
int32_t preview_handle = -1;
