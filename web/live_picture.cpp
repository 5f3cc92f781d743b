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
#include "settings/metrics.h"
#include "settings/settings.h"
#include "http/http_parse.h"
#include "http/http_text.h"
#include "web/simple_server.h"

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

bool internal_error(route_slot_t& slot)
{
    return route_short_answer(slot, "500 Internal Server Error") == route_answer_t::response;
}

// How often a connection whose live picture is on its way looks again: the
// player's catch-up from a key frame takes tens of milliseconds.
constexpr int64_t picture_recheck_ms = 5;

class live_picture_route final : public route_handler {
public:
    explicit live_picture_route(bool stream) : stream(stream), part_delay(settings.frame_delay) {}
    ~live_picture_route() override
    {
        if (streaming)
            metrics_stream_client("preview.mjpeg", -1);
    }

    void observe(const route_request_t& request) override
    {
        // "q" holds for every later picture of the connection, whatever
        // request brought it.
        if (auto value = request.query.find("q"); value != request.query.end())
            quality = read_decimal(value->second);
    }

    route_answer_t answer(route_connection&, const route_request_t& request, route_slot_t& slot) override
    {
        if (pending())
            return route_answer_t::later;
        const bool fits = stream ? answer_stream(request.query, slot) : answer_picture(request.query, slot);
        return fits ? route_answer_t::response : route_answer_t::no_room;
    }

    route_mode_t mode() const override { return streaming ? route_mode_t::stream : route_mode_t::answered; }

    int32_t stream_part(route_connection& connection, char* buffer, int32_t size) override
    {
        if (stream_clock_ms() < next_part_time() || pending())
            return 0;
        return compose_part(connection, buffer, size);
    }

    int64_t due_ms() const override
    {
        if (picture_wait_start != 0)
            return stream_clock_ms() + picture_recheck_ms;  // the player catches up meanwhile
        return streaming ? next_part_time() : -1;
    }

private:
    bool pending();
    void apply_size_keys(const text_map& query);
    bool jpeg(jpeg_view_t& view) const;
    bool answer_picture(const text_map& query, route_slot_t& slot);
    bool answer_stream(const text_map& query, route_slot_t& slot);
    int32_t compose_part(route_connection& connection, char* buffer, int32_t size);
    int64_t next_part_time() const { return last_part_time + int64_t(uint32_t(part_delay)); }

    const bool stream;            // "preview.mjpeg", not "preview.jpg"
    int32_t req_width = 0;        // picture width requested by the query
    int32_t req_height = 0;       // picture height requested by the query
    bool keep_aspect = false;     // fit into req_width x req_height keeping the aspect ratio
    int32_t quality = 50;         // JPEG quality; the query key "q" changes it for the connection
    bool streaming = false;       // the connection carries the stream and never receives again
    int64_t last_part_time = 0;   // when the last part was due (or the header was prepared), stream_clock_ms
    int32_t part_delay = 0;       // minimum spacing of stream parts, ms (frame_delay at creation)
    std::string boundary = "boundarydonotcross";  // multipart boundary of the stream
    int64_t picture_wait_start = 0;  // when the wait for a live picture began, stream_clock_ms; 0 = none
};

// The query keys of the output size; "q" was taken by observe.
void live_picture_route::apply_size_keys(const text_map& query)
{
    if (auto w = query.find("w"); w != query.end())
        req_width = read_decimal(w->second);
    if (auto h = query.find("h"); h != query.end())
        req_height = read_decimal(h->second);
    if (auto aspect = query.find("is_browser_w_h"); aspect != query.end())
        keep_aspect = aspect->second == "true";
}

bool live_picture_route::jpeg(jpeg_view_t& view) const
{
    return shared_jpeg(req_width, req_height, keep_aspect, quality, server_overlay_info(), view);
}

// Asks the player for pictures and tells whether the live picture is still
// on its way (the player catches up from its last key frame): the request or
// stream part is then made in a later step. False when the picture is there,
// in demo mode, and when none can come: no camera, or none within the
// connect time (the route then answers "500 Internal Server Error").
bool live_picture_route::pending()
{
    int32_t wait_ms = 0;
    {
        mt_guard_t guard(player_lock);
        if (demo_mode_on || player_port < 0)
            wait_ms = -1;
        else {
            // A stream keeps the player decoding between its parts.
            const uint32_t between_parts = streaming ? uint32_t(part_delay) : 0;
            player_want_pictures(player_linger_ms + std::min<uint32_t>(between_parts, 3600000));
            if (player_has_picture(player_port) == 0)
                wait_ms = picture_wait_ms;
        }
    }
    const int64_t now = stream_clock_ms();
    if (wait_ms <= 0 || (picture_wait_start != 0 && now - picture_wait_start >= wait_ms)) {
        picture_wait_start = 0;
        return false;
    }
    if (picture_wait_start == 0)
        picture_wait_start = now;
    return true;
}

bool live_picture_route::answer_picture(const text_map& query, route_slot_t& slot)
{
    if (!read_picture_size(picture_width, picture_height))
        return internal_error(slot);
    req_width = picture_width;
    req_height = picture_height;
    keep_aspect = false;
    apply_size_keys(query);
    jpeg_view_t view;
    if (!jpeg(view))
        return internal_error(slot);

    char header[256];
    const int written = std::snprintf(header, sizeof header,
                                      "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: image/jpeg\r\nContent-Length: %li\r\n\r\n",
                                      http_date(std::time(nullptr)).c_str(), long(view.length));
    if (written <= 0 || size_t(written) >= sizeof header || written + int64_t(view.length) > slot.room)
        return internal_error(slot);
    std::memcpy(slot.at, header, size_t(written));
    std::memcpy(slot.at + written, view.data, size_t(view.length));
    slot.header_length = written;
    slot.length = written + view.length;
    return true;
}

bool live_picture_route::answer_stream(const text_map& query, route_slot_t& slot)
{
    if (!read_picture_size(req_width, req_height))
        return internal_error(slot);
    keep_aspect = false;
    apply_size_keys(query);

    char header[256];
    const int written = std::snprintf(header, sizeof header,
                                      "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: multipart/x-mixed-replace; boundary=%s\r\n\r\n--%s\r\n",
                                      http_date(std::time(nullptr)).c_str(), boundary.c_str(),
                                      boundary.c_str());
    if (written <= 0 || size_t(written) >= sizeof header || written > slot.room)
        return false;
    std::memcpy(slot.at, header, size_t(written));
    // The stream header ends with the first delimiter line.
    slot.header_length = written;
    slot.length = written;
    if (!streaming)
        metrics_stream_client("preview.mjpeg", 1);
    streaming = true;
    last_part_time = stream_clock_ms();
    return true;
}

int32_t live_picture_route::compose_part(route_connection& connection, char* buffer, int32_t size)
{
    // Parts keep to the delay on average: each is timed from when the last
    // was due, not from the step that found it due, unless the stream fell a
    // whole delay behind (a slow client, a slow encode).
    const int64_t now = stream_clock_ms();
    const int64_t delay = int64_t(uint32_t(part_delay));
    last_part_time = now - last_part_time < 2 * delay ? last_part_time + delay : now;

    jpeg_view_t view;
    if (!read_picture_size(picture_width, picture_height) || !jpeg(view))
        return -1;
    const int64_t delimiter_length = int64_t(boundary.size()) + 6;  // "\r\n--", boundary, "\r\n"
    char header[128];
    const int written = std::snprintf(header, sizeof header,
                                      "Content-Type: image/jpeg\r\nContent-Length: %li\r\n\r\n",
                                      long(view.length));
    const int64_t total = written + int64_t(view.length) + delimiter_length;
    if (written <= 0 || size_t(written) >= sizeof header || total > size)
        return -1;
    std::memcpy(buffer, header, size_t(written));
    std::memcpy(buffer + written, view.data, size_t(view.length));
    // Copied rather than printed: a terminating zero would land past the part,
    // and past the buffer when the part fills it exactly.
    const std::string delimiter = "\r\n--" + boundary + "\r\n";
    std::memcpy(buffer + written + view.length, delimiter.data(), delimiter.size());
    connection.log_block("subheader to send", std::string(header, size_t(written) - 2));
    return int32_t(total);
}

}  // namespace

// The engine's clock, so that a part's due time and the server's wait agree.
int64_t stream_clock_ms() { return se_clock_ms(); }

std::unique_ptr<route_handler> make_preview_jpg_route() { return std::make_unique<live_picture_route>(false); }

std::unique_ptr<route_handler> make_preview_mjpeg_route() { return std::make_unique<live_picture_route>(true); }
