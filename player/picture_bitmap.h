// Internal to the camera layer: the player's current picture and the demo
// drawing as 24-bit FreeImage bitmaps, their bicubic rescale and their JPEG
// encoding into an ms_t or a file. Shared by the web snapshots (web server
// thread) and camera photos (GUI thread); stateless, so both may run at
// once. Whoever allocates or rescales a bitmap owns it and unloads it.
#pragma once

#include <cstdint>

struct FIBITMAP;
class QImage;
class ms_t;

// A 24-bit bitmap without a colour table in use; null when memory is short.
FIBITMAP* allocate_picture(int32_t width, int32_t height);
void unload_bitmap(FIBITMAP* bitmap);

// Fills picture (24-bit, of any size) with the current picture of port,
// scaled with the bicubic filter straight from the decoded picture. The
// caller reads port under player_lock; the scaling runs without it. False
// when the player has no picture.
bool read_player_picture(int32_t port, FIBITMAP* picture);
// Fills picture (24-bit, of the image's size) from an RGB32 QImage.
bool read_image(const QImage& image, FIBITMAP* picture);

// A width x height copy with the bicubic filter; null when either side is
// below 1 or the library fails.
FIBITMAP* rescale_picture(FIBITMAP* source, int32_t width, int32_t height);

// Encodes bitmap as JPEG of quality 1..100 into sink (reset first). False
// when the encoder fails or the JPEG does not fit into the sink.
bool encode_jpeg(FIBITMAP* bitmap, int32_t quality, ms_t& sink);
// Encodes bitmap as a JPEG file; a file that could not be finished is
// removed, and an earlier file of the same name is kept.
bool save_jpeg_file(FIBITMAP* bitmap, int32_t quality, const char* path);
