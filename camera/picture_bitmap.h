// Internal to the camera layer: the player's current picture as a 24-bit
// FreeImage bitmap, rescaled and encoded as JPEG. Shared by the web
// snapshots (web server thread) and camera photos (GUI thread); stateless,
// so both may run at once. The caller owns every bitmap it is handed.
#pragma once

#include <cstdint>

struct FIBITMAP;
class QImage;
class ms_t;

// The current picture of port, which must be width x height: the BMP rows
// of player_get_bmp (bottom row first, blue, green, red, unused) copied into
// a new bitmap. Takes player_lock around player_get_bmp. Null when the
// player has no picture of that size or memory is short.
FIBITMAP* bitmap_from_player(int32_t port, int32_t width, int32_t height);
// The same from an RGB32 or BGR888 QImage (the demo drawing).
FIBITMAP* bitmap_from_image(const QImage& image);
// A width x height copy with the bicubic filter; source is unloaded either
// way. Null when either side is below 1 or the library fails.
FIBITMAP* rescale_bitmap(FIBITMAP* source, int32_t width, int32_t height);
void unload_bitmap(FIBITMAP* bitmap);

// Encodes bitmap as JPEG of quality 1..100 into sink (reset first). False
// when the encoder fails or the JPEG does not fit into the sink.
bool encode_jpeg(FIBITMAP* bitmap, int32_t quality, ms_t& sink);
// Encodes bitmap as a JPEG file; a file that could not be finished is
// removed.
bool save_jpeg_file(FIBITMAP* bitmap, int32_t quality, const char* path);
