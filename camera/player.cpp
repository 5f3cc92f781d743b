// The player layer's entry points. Placeholder while the decode thread is
// being built: every operation fails cleanly.
#include "camera/player.h"

bool player_get_port(int32_t*) { return false; }
bool player_set_stream_mode(int32_t, uint32_t) { return false; }
bool player_open_stream(int32_t, const uint8_t*, uint32_t, uint32_t) { return false; }
bool player_play(int32_t, video_surface_t*) { return false; }
bool player_input_data(int32_t, const uint8_t*, uint32_t) { return false; }
bool player_stop(int32_t) { return false; }
bool player_close_stream(int32_t) { return false; }
bool player_free_port(int32_t) { return false; }
uint32_t player_has_picture(int32_t) { return 0; }
bool player_refresh(int32_t) { return false; }
bool player_get_picture_size(int32_t, int32_t*, int32_t*) { return false; }
bool player_get_bmp(int32_t, uint8_t*, uint32_t, uint32_t*) { return false; }
uint64_t player_picture_serial(int32_t) { return 0; }
