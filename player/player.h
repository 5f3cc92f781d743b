// The player layer: numbered ports that decode a camera stream (libavcodec,
// libswscale) on a thread per open stream, keep the latest picture, and hand
// it to a video surface. No FFmpeg type appears here.
// player_input_data comes from the camera layer's thread without a lock; the
// picture queries come from the GUI and web server threads under player_lock;
// the layer accepts both at once.
#pragma once

#include <cstdint>
#include <memory>

class packet_fanout_obj;

// What the player draws into: the main window, or nothing (null) in daemon
// mode, where pictures are decoded only for the readers and never drawn.
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
    // The size the surface shows pictures at (its client size); asked on
    // the decode thread for every picture, so it must not block. Pictures
    // are converted to it once, unless it is larger than the picture. False:
    // the picture's own size.
    virtual bool drawing_size(int32_t* width, int32_t* height)
    {
        (void)width;
        (void)height;
        return false;
    }
};

// Size of the header in front of player_get_bmp's rows.
constexpr uint32_t player_bmp_header_size = 54;

bool player_get_port(int32_t* port);
bool player_set_stream_mode(int32_t port, uint32_t mode);
bool player_open_stream(int32_t port, const uint8_t* header, uint32_t header_length,
                        uint32_t buffer_size);
bool player_play(int32_t port, video_surface_t* surface);
bool player_input_data(int32_t port, const uint8_t* bytes, uint32_t length);
// The open stream takes its packets from a camera's fan-out, by reference,
// instead of data blocks (player_input_data then fails); between
// player_open_stream and player_play.
bool player_input_packets(int32_t port, const std::shared_ptr<packet_fanout_obj>& packets);
// Where the open stream's packets come from, for other subscribers (a live
// web stream); null when the port has no open stream.
std::shared_ptr<packet_fanout_obj> player_packets(int32_t port);
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

// Demand. Ports decode only while someone looks at their pictures; without
// a consumer the packets still arrive (and are recorded), the fan-out keeps
// those since the most recent key frame, nothing is decoded and the ports
// have no picture (player_has_picture gives 0: an old picture is not the
// current one). When a consumer comes, a port decodes from that key frame
// as fast as it can and shows its first picture once it has caught up.
// A lasting consumer (a visible window): on starts looking, off stops; each
// on needs its off.
bool player_hold_pictures(bool on);
// A passing consumer (a single picture, a stream part, a photo): pictures
// are decoded for linger_ms from now at least.
bool player_want_pictures(uint32_t linger_ms);
// How long a passing consumer keeps the decoding on: a page that polls
// single pictures does not pay the start for each.
constexpr uint32_t player_linger_ms = 5000;
// Waits up to timeout_ms for the port to have a picture; for callers that
// may block (a photo). Call player_want_pictures first.
bool player_wait_picture(int32_t port, uint32_t timeout_ms);
// Pictures decoded since start, all ports together: what demand saves.
uint64_t player_decoded_pictures();
