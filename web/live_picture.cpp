// Live picture routes: the single JPEG, the stream header and each stream
// part, composed in the node's output buffer from the snapshot cache. Web
// server thread, server_lock held; player_lock is taken only around the
// demo state and the picture size.
#include "web/live_picture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/se_socket.h"
#include "player/player.h"
#include "player/snapshot.h"
#include "player/video_state.h"
#include "settings/settings.h"
#include "http/http_parse.h"
#include "http/http_text.h"
#include "web/simple_server.h"
#include "web/simple_server_node.h"

namespace {

// The size of the picture a snapshot would be made from: the window's client
// size in demo mode, else the player's picture size; false when the player
// has none.
bool read_picture_size(int32_t& width, int32_t& height)
{
    mt_guard_t guard(player_lock);
    if (demo_mode_on) {
        width = client_width;
        height = client_height;
        return true;
    }
    return player_get_picture_size(player_port, &width, &height);
}

// The query keys of the output size; "q" was applied by the routing.
void apply_size_keys(simple_server_node& node, const text_map& query)
{
    if (auto w = query.find("w"); w != query.end())
        node.req_width = read_decimal(w->second);
    if (auto h = query.find("h"); h != query.end())
        node.req_height = read_decimal(h->second);
    if (auto aspect = query.find("is_browser_w_h"); aspect != query.end())
        node.keep_aspect = aspect->second == "true";
}

// What the demo overlay says about the server. The server fields are read
// under server_lock, which this thread holds; alpha belongs to the GUI
// thread, which mirrors it under player_lock.
overlay_info_t server_overlay_info()
{
    overlay_info_t info;
    info.address = web_server.local_address_text();
    info.port = web_server.local_port();
    info.active = web_server.is_active();
    player_lock.enter();
    info.alpha = overlay_alpha;
    player_lock.leave();
    return info;
}

bool node_jpeg(const simple_server_node& node, jpeg_view_t& jpeg)
{
    return shared_jpeg(node.req_width, node.req_height, node.keep_aspect, node.quality,
                       server_overlay_info(), jpeg);
}

bool internal_error(char* at, int64_t room, int32_t& length, int32_t& header_length)
{
    length = error_response(at, room, &header_length, "500 Internal Server Error");
    return length >= 0;
}

}  // namespace

bool live_picture_pending(simple_server_node& node)
{
    int32_t wait_ms = 0;
    {
        mt_guard_t guard(player_lock);
        if (demo_mode_on || player_port < 0)
            wait_ms = -1;
        else {
            // A stream keeps the player decoding between its parts.
            const uint32_t between_parts = node.streaming ? uint32_t(node.part_delay) : 0;
            player_want_pictures(player_linger_ms + std::min<uint32_t>(between_parts, 3600000));
            if (player_has_picture(player_port) == 0)
                wait_ms = picture_wait_ms;
        }
    }
    const int64_t now = stream_clock_ms();
    if (wait_ms <= 0 || (node.picture_wait_start != 0 && now - node.picture_wait_start >= wait_ms)) {
        node.picture_wait_start = 0;
        return false;
    }
    if (node.picture_wait_start == 0)
        node.picture_wait_start = now;
    return true;
}

// The engine's clock, so that a part's due time and the server's wait agree.
int64_t stream_clock_ms() { return se_clock_ms(); }

bool route_preview_jpg(simple_server_node& node, char* at, int64_t room, const text_map& query,
                       int32_t& length, int32_t& header_length)
{
    if (!read_picture_size(picture_width, picture_height))
        return internal_error(at, room, length, header_length);
    node.req_width = picture_width;
    node.req_height = picture_height;
    node.keep_aspect = false;
    apply_size_keys(node, query);
    jpeg_view_t jpeg;
    if (!node_jpeg(node, jpeg))
        return internal_error(at, room, length, header_length);

    char header[256];
    const int written = std::snprintf(header, sizeof header,
                                      "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: image/jpeg\r\nContent-Length: %li\r\n\r\n",
                                      http_date(std::time(nullptr)).c_str(), long(jpeg.length));
    if (written <= 0 || size_t(written) >= sizeof header || written + int64_t(jpeg.length) > room)
        return internal_error(at, room, length, header_length);
    std::memcpy(at, header, size_t(written));
    std::memcpy(at + written, jpeg.data, size_t(jpeg.length));
    header_length = written;
    length = written + jpeg.length;
    return true;
}

bool route_preview_mjpeg(simple_server_node& node, char* at, int64_t room, const text_map& query,
                         int32_t& length, int32_t& header_length)
{
    if (!read_picture_size(node.req_width, node.req_height))
        return internal_error(at, room, length, header_length);
    node.keep_aspect = false;
    apply_size_keys(node, query);

    char header[256];
    const int written = std::snprintf(header, sizeof header,
                                      "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: multipart/x-mixed-replace; boundary=%s\r\n\r\n--%s\r\n",
                                      http_date(std::time(nullptr)).c_str(), node.boundary.c_str(),
                                      node.boundary.c_str());
    if (written <= 0 || size_t(written) >= sizeof header || written > room)
        return false;
    std::memcpy(at, header, size_t(written));
    // The stream header ends with the first delimiter line.
    header_length = written;
    length = written;
    node.streaming = true;
    node.last_part_time = stream_clock_ms();
    return true;
}

void send_stream_part(simple_server_node& node)
{
    // Parts keep to the delay on average: each is timed from when the last
    // was due, not from the step that found it due, unless the stream fell a
    // whole delay behind (a slow client, a slow encode).
    const int64_t now = stream_clock_ms();
    const int64_t delay = int64_t(uint32_t(node.part_delay));
    node.last_part_time = now - node.last_part_time < 2 * delay ? node.last_part_time + delay : now;

    jpeg_view_t jpeg;
    if (!read_picture_size(picture_width, picture_height) || !node_jpeg(node, jpeg)) {
        node.close_connection();
        return;
    }
    const int64_t delimiter_length = int64_t(node.boundary.size()) + 6;  // "\r\n--", boundary, "\r\n"
    char header[128];
    const int written = std::snprintf(header, sizeof header,
                                      "Content-Type: image/jpeg\r\nContent-Length: %li\r\n\r\n",
                                      long(jpeg.length));
    const int64_t total = written + int64_t(jpeg.length) + delimiter_length;
    if (written <= 0 || size_t(written) >= sizeof header || total > node.out_size) {
        node.close_connection();
        return;
    }
    char* at = node.out_buffer;
    std::memcpy(at, header, size_t(written));
    std::memcpy(at + written, jpeg.data, size_t(jpeg.length));
    // Copied rather than printed: a terminating zero would land past the part,
    // and past the buffer when the part fills it exactly.
    const std::string delimiter = "\r\n--" + node.boundary + "\r\n";
    std::memcpy(at + written + jpeg.length, delimiter.data(), delimiter.size());
    node.io_length = int32_t(total);
    node.log_block("subheader to send", std::string(header, size_t(written) - 2));
    node.io_buffer = node.out_buffer;
    node.io_buffer_size = node.out_size;
    node.start_logged_job(se_job_send, false);
}
