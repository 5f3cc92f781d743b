// Snapshots: the current picture (the player's, or the demo drawing at the
// window's client size) rescaled and encoded as JPEG in memory for the web
// server, and the cache that lets every client share one encode of the
// same picture, size and quality. Web server thread only (server_lock held);
// snapshot_stream and the cache belong to this unit.
#pragma once

#include <cstdint>

#include "player/ms_t.h"
#include "player/render.h"

// Room of snapshot_stream: a JPEG larger than this cannot be made.
constexpr int32_t snapshot_capacity = 1048576;
// Bounds of each side of a snapshot: the smallest that is asked for, and the
// largest that is made (a larger request fails rather than exhaust memory).
constexpr int32_t snapshot_min_side = 8;
constexpr int32_t snapshot_max_side = 8192;
// How long one demo drawing stands for the demo picture: the window
// repaints it as often.
constexpr uint32_t demo_repaint_ms = 200;

// Receives every JPEG frame_to_jpeg makes.
extern ms_t snapshot_stream;

// The output size of a request for a source of source_width x source_height:
// at least snapshot_min_side, at most snapshot_max_side a side, fitted into
// the box with the source's aspect ratio when keep_aspect is set. False when
// no picture can be made of it (no source area, a side out of bounds).
bool snapshot_size(int32_t source_width, int32_t source_height, bool keep_aspect, int32_t& width,
                   int32_t& height);
// Quality 1..100 from any requested number.
int32_t snapshot_quality(int32_t quality);

// The current picture, of picture_width x picture_height (set by the caller
// under player_lock), as a JPEG of the requested size and quality in
// snapshot_stream. info is what the demo overlay reports about the server.
bool frame_to_jpeg(int32_t width, int32_t height, bool keep_aspect, int32_t quality,
                   const overlay_info_t& info);

// A JPEG held by the cache; valid until the next shared_jpeg call.
struct jpeg_view_t {
    const uint8_t* data = nullptr;
    int32_t length = 0;
};
// What frame_to_jpeg makes, reusing the JPEG made for the same picture,
// output size and quality while that picture is still the current one.
bool shared_jpeg(int32_t width, int32_t height, bool keep_aspect, int32_t quality,
                 const overlay_info_t& info, jpeg_view_t& jpeg);
// JPEGs encoded since start (a benchmark's and a test's window on the cache).
uint64_t snapshot_encodes();
// Forgets every cached JPEG.
void clear_snapshot_cache();
