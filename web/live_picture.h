// The two routes of the web server that are not files: "preview.jpg" (the
// current picture as one JPEG) and "preview.mjpeg" (an endless multipart
// stream of JPEGs, one part per part delay). Each connection's route object
// keeps the requested size, the quality (the query key "q" of any request
// of the connection) and the stream's pace. Web server thread under
// server_lock; the JPEGs come from the snapshot cache (player/snapshot.h).
#pragma once

#include <cstdint>
#include <memory>

#include "web/route.h"

std::unique_ptr<route_handler> make_preview_jpg_route();
std::unique_ptr<route_handler> make_preview_mjpeg_route();

// Milliseconds of a monotonic clock: the time base of the part delay.
int64_t stream_clock_ms();
