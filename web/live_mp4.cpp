// The live MP4 route. The answer waits (like "preview.jpg") until the first
// key frame is there, since the header names the codec, which the stream's
// description tells; a camera connected for a while has it in the fan-out's
// cache, so that is at once. From then on every step with no send running
// takes what the fragmenter has formed, forming more from the queue only
// when all was sent: a slow client holds at most its queue and one send.
#include "web/live_mp4.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "http/http_text.h"
#include "player/player.h"
#include "player/video_state.h"
#include "recording/live_fragmenter.h"
#include "stream/packet_queue.h"
#include "web/live_picture.h"

namespace {

// How often a request whose first key frame is on its way looks again.
constexpr int64_t key_frame_recheck_ms = 5;
// How often a stream with nothing to send checks that its camera is still
// the one connected (a camera that is disconnected sends nothing more).
constexpr int64_t camera_check_ms = 1000;

// The camera's packets, or null without a camera (none connected, demo
// mode); wait_ms gets the camera connect time.
std::shared_ptr<packet_fanout_obj> camera_packets(int32_t* wait_ms = nullptr)
{
    mt_guard_t guard(player_lock);
    if (wait_ms)
        *wait_ms = picture_wait_ms;
    if (demo_mode_on || player_port < 0)
        return nullptr;
    return player_packets(player_port);
}

class preview_mp4_route final : public route_handler {
public:
    ~preview_mp4_route() override { leave(); }

    route_answer_t answer(route_connection& connection, const route_request_t&, route_slot_t& slot) override;
    route_mode_t mode() const override { return streaming ? route_mode_t::stream : route_mode_t::answered; }
    int32_t stream_part(route_connection& connection, char* buffer, int32_t size) override;
    bool quiet_parts() const override { return true; }
    int64_t due_ms() const override;
    void on_disconnected() override { leave(); }

private:
    bool join(route_connection& connection);
    void leave();
    void form();
    bool camera_gone();

    std::shared_ptr<packet_fanout_obj> packets;     // the camera's, while subscribed
    std::shared_ptr<route_signal_t> signal;         // raised by the queue on the receive thread
    std::unique_ptr<packet_queue_obj> queue;        // this connection's packets, bounded
    std::unique_ptr<live_fragmenter_obj> fragmenter;  // forms the MP4
    int64_t wait_start = 0;       // when the wait for the first key frame began, stream_clock_ms
    int32_t wait_limit_ms = 0;    // how long it may last: the camera connect time
    bool streaming = false;       // the header went out: the connection carries the stream
    int64_t last_camera_check = 0;  // stream_clock_ms of the last check that the camera is there
};

bool preview_mp4_route::join(route_connection& connection)
{
    packets = camera_packets(&wait_limit_ms);
    if (!packets)
        return false;
    signal = std::make_shared<route_signal_t>();
    std::weak_ptr<route_signal_t> weak = signal;
    queue = std::make_unique<packet_queue_obj>(
        [weak] {
            if (auto s = weak.lock())
                s->raise();
        },
        "the MP4 viewer at " + connection.peer_address());
    fragmenter = std::make_unique<live_fragmenter_obj>();
    packets->subscribe(queue.get());
    wait_start = stream_clock_ms();
    return true;
}

void preview_mp4_route::leave()
{
    if (packets && queue)
        packets->unsubscribe(queue.get());
    packets.reset();
}

// Forms fragments from the queue until there are bytes to send (or the
// init segment, before the header).
void preview_mp4_route::form()
{
    while (fragmenter->ready() == 0 && !fragmenter->ended() && queue->drain(*fragmenter, 1) > 0) {
    }
}

route_answer_t preview_mp4_route::answer(route_connection& connection, const route_request_t&,
                                         route_slot_t& slot)
{
    if (!queue && !join(connection))
        return route_short_answer(slot, "500 Internal Server Error");
    form();
    if (!fragmenter->has_init()) {
        // No key frame yet: wait for one as long as a picture is waited for.
        if (!fragmenter->ended() && stream_clock_ms() - wait_start < wait_limit_ms)
            return route_answer_t::later;
        leave();
        queue.reset();
        return route_short_answer(slot, "500 Internal Server Error");
    }
    char header[256];
    const int written = std::snprintf(header, sizeof header,
                                      "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: video/mp4; codecs=\"%s\"\r\n"
                                      "Cache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n",
                                      http_date(std::time(nullptr)).c_str(), fragmenter->codec().c_str());
    if (written <= 0 || size_t(written) >= sizeof header || written > slot.room)
        return route_answer_t::no_room;
    std::memcpy(slot.at, header, size_t(written));
    // The init segment and as much of the cached interval as fits go out
    // with the header.
    const size_t body = fragmenter->take(reinterpret_cast<uint8_t*>(slot.at + written),
                                         size_t(slot.room - written));
    slot.header_length = written;
    slot.length = written + int32_t(body);
    streaming = true;
    connection.log_event("streams " + fragmenter->codec() + " " + std::to_string(fragmenter->width()) + "x" +
                         std::to_string(fragmenter->height()));
    return route_answer_t::response;
}

int32_t preview_mp4_route::stream_part(route_connection&, char* buffer, int32_t size)
{
    signal->take();
    form();
    const size_t n = fragmenter->take(reinterpret_cast<uint8_t*>(buffer), size_t(size));
    if (n > 0)
        return int32_t(n);
    // Everything formed went out: a stream that can not go on ends here.
    if (fragmenter->ended() || camera_gone())
        return -1;
    return 0;
}

// The camera is gone when no camera is connected any more or another
// connection's packets run (demo mode, a new login): the client asks again.
bool preview_mp4_route::camera_gone()
{
    const int64_t now = stream_clock_ms();
    if (now - last_camera_check < camera_check_ms)
        return false;
    last_camera_check = now;
    return camera_packets() != packets;
}

int64_t preview_mp4_route::due_ms() const
{
    if (!streaming)
        return queue ? stream_clock_ms() + key_frame_recheck_ms : -1;
    if (signal->raised() || fragmenter->ready() > 0 || !queue->empty())
        return 0;
    return last_camera_check + camera_check_ms;
}

}  // namespace

std::unique_ptr<route_handler> make_preview_mp4_route() { return std::make_unique<preview_mp4_route>(); }
