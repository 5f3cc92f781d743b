// The player layer: numbered ports that decode a camera stream (libavcodec,
// libswscale) on a thread per open stream, keep the latest picture, and hand
// it to a video surface. No FFmpeg type appears here.
// player_input_data comes from the camera layer's thread without a lock; the
// picture queries come from the GUI and web server threads under player_lock;
// the layer accepts both at once.
#pragma once

#include <cstdint>

// What the player draws into: the main window, or nothing (null) in daemon
// mode, where pictures are decoded but never drawn.
class video_surface_t {
public:
    virtual ~video_surface_t() = default;
    // Called on the player's decode thread when port has a new picture. Must
    // not block and must not call back into the player: the surface only
    // schedules a repaint on its own thread.
    virtual void picture_ready(int32_t port) = 0;
    // Called by player_refresh, on the thread that paints, with the latest
    // picture: top-down BGRA rows of stride bytes each.
    virtual void draw_picture(const uint8_t* bgra, int32_t width, int32_t height,
                              int32_t stride) = 0;
};

// Size of the header in front of player_get_bmp's rows.
constexpr uint32_t player_bmp_header_size = 54;

bool player_get_port(int32_t* port);
bool player_set_stream_mode(int32_t port, uint32_t mode);
bool player_open_stream(int32_t port, const uint8_t* header, uint32_t header_length,
                        uint32_t buffer_size);
bool player_play(int32_t port, video_surface_t* surface);
bool player_input_data(int32_t port, const uint8_t* bytes, uint32_t length);
bool player_stop(int32_t port);
bool player_close_stream(int32_t port);
bool player_free_port(int32_t port);
// 0 while there is no picture to show yet.
uint32_t player_has_picture(int32_t port);
// Draws the latest picture into the port's surface again.
bool player_refresh(int32_t port);
bool player_get_picture_size(int32_t port, int32_t* width, int32_t* height);
// 54-byte header, then bottom-up BGRA rows without padding; false when the
// buffer is smaller than width * height * 4 + 54.
bool player_get_bmp(int32_t port, uint8_t* buffer, uint32_t buffer_size, uint32_t* written);
// The latest picture scaled with the bicubic filter to width x height, as
// bottom-up rows of width * 3 bytes (blue, green, red) stride bytes apart:
// the pixels of a 24-bit bitmap. Scales straight from the decoded picture,
// so a small copy of a large picture costs little. False without a picture.
bool player_get_scaled_dib(int32_t port, int32_t width, int32_t height, uint8_t* rows,
                           int32_t stride);
// Grows by one with every newly decoded picture of the port; lets the web
// side reuse a JPEG while the picture it was made from is still current.
uint64_t player_picture_serial(int32_t port);
