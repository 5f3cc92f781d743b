// Live picture routes, for now without a picture source: every request is
// answered "500 Internal Server Error", the answer for "no picture can be
// had". The picture and stream delivery replace these bodies.
#include "web/live_picture.h"

#include "web/http_text.h"
#include "web/simple_server_node.h"

namespace {
bool no_picture(char* at, int64_t room, int32_t& length, int32_t& header_length)
{
    length = error_response(at, room, &header_length, "500 Internal Server Error");
    return length >= 0;
}
}  // namespace

bool route_preview_jpg(simple_server_node&, char* at, int64_t room, const text_map&,
                       int32_t& length, int32_t& header_length)
{
    return no_picture(at, room, length, header_length);
}

bool route_preview_mjpeg(simple_server_node&, char* at, int64_t room, const text_map&,
                         int32_t& length, int32_t& header_length)
{
    return no_picture(at, room, length, header_length);
}

void send_stream_part(simple_server_node& node)
{
    // A stream whose part cannot be made ends with its connection.
    node.close_connection();
}
