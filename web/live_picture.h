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

// Asks the player for pictures and tells whether the node's live picture is
// still on its way (the player catches up from its last key frame): the
// request or stream part is then made in a later step, as a stream waits
// for its next part. False when the picture is there, in demo mode, and
// when none can come: no camera, or none within the connect time (the
// route then answers "500 Internal Server Error").
bool live_picture_pending(simple_server_node& node);

// Milliseconds of a monotonic clock: the time base of the part delay.
int64_t stream_clock_ms();
