// The two names of the web server that are not files: "preview.jpg" (the
// current picture as one JPEG) and "preview.mjpeg" (an endless multipart
// stream of JPEGs, one part per part delay), and the sending of each stream
// part. Called by simple_server_node on the web server thread under
// server_lock; the JPEGs come from the snapshot cache (player/snapshot.h).
#pragma once

#include <cstdint>

#include "settings/text_map.h"

class simple_server_node;

// Each route composes exactly one response at `at`, within `room` bytes of
// the batch's output buffer: true with its total length and header length
// (up to and including the empty line); false when not even a short
// response fits (the batch then closes the connection).
bool route_preview_jpg(simple_server_node& node, char* at, int64_t room, const text_map& query,
                       int32_t& length, int32_t& header_length);
// Composes the stream header and switches the connection to streaming.
bool route_preview_mjpeg(simple_server_node& node, char* at, int64_t room, const text_map& query,
                         int32_t& length, int32_t& header_length);
// Prepares and starts sending the next part of a stream; called when no
// job runs and the part is due. A part that cannot be made or does not fit
// into the output buffer closes the connection.
void send_stream_part(simple_server_node& node);

// Milliseconds of a monotonic clock: the time base of the part delay.
int64_t stream_clock_ms();
