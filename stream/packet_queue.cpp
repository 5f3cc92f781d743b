// The bounded queue of a live subscriber. Events hold references (a copy of
// the stream description, a reference to each packet); draining hands them
// on outside the queue's lock, so the sending thread never waits for the
// consumer's work.
#include "stream/packet_queue.h"

#include "settings/log.h"
#include "stream/media_av.h"

struct packet_queue_obj::event_t {
    enum kind_t { started, packet, ended } kind = ended;
    AVPacket* data = nullptr;               // packet: a reference of its own
    AVCodecParameters* parameters = nullptr;  // started: a copy of its own
    AVRational time_base{1, 90000};         // started
    bool cached = false;                    // packet: from the fan-out's cache
    bool counted = false;                   // packet: counts against the bounds

    event_t() = default;
    event_t(event_t&& o) noexcept { *this = std::move(o); }
    event_t& operator=(event_t&& o) noexcept
    {
        std::swap(kind, o.kind);
        std::swap(data, o.data);
        std::swap(parameters, o.parameters);
        std::swap(time_base, o.time_base);
        std::swap(cached, o.cached);
        std::swap(counted, o.counted);
        return *this;
    }
    ~event_t()
    {
        av_packet_free(&data);
        avcodec_parameters_free(&parameters);
    }
};

packet_queue_obj::packet_queue_obj(std::function<void()> wake, std::string who,
                                   const packet_queue_limits_t& limits)
    : wake(std::move(wake)), who(std::move(who)), limits(limits)
{
}

packet_queue_obj::~packet_queue_obj() = default;

void packet_queue_obj::push(event_t&& event)
{
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        was_empty = events.empty();
        events.push_back(std::move(event));
    }
    if (was_empty && wake)
        wake();
}

void packet_queue_obj::stream_started(const media_info_t& info)
{
    event_t event;
    event.kind = event_t::started;
    event.time_base = info.time_base;
    event.parameters = avcodec_parameters_alloc();
    if (!event.parameters || avcodec_parameters_copy(event.parameters, info.parameters) < 0)
        return;
    {
        // A new connection's stream starts with a key frame of its own.
        std::lock_guard<std::mutex> lock(mutex);
        skipping = false;
    }
    push(std::move(event));
}

void packet_queue_obj::stream_packet(const media_packet_t& packet, bool cached)
{
    const bool key = (packet.av->flags & AV_PKT_FLAG_KEY) != 0;
    const size_t bytes = size_t(packet.av->size);
    bool log_skip = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cached && !skipping &&
            (live_packets >= limits.max_packets || live_bytes + bytes > limits.max_bytes)) {
            // The consumer falls behind: what waits is older than what comes,
            // and a picture needs everything back to its key frame.
            std::erase_if(events, [](const event_t& e) { return e.kind == event_t::packet; });
            live_packets = 0;
            live_bytes = 0;
            skipping = true;
            log_skip = skip_count++ == 0;
        }
        if (skipping && key)
            skipping = false;
        if (skipping)
            return;
    }
    if (log_skip)
        log_print("%s live: %s falls behind, its video skips to the next key frame\n",
                  utc_timestamp().c_str(), who.c_str());
    event_t event;
    event.kind = event_t::packet;
    event.cached = cached;
    event.data = av_packet_alloc();
    if (!event.data || av_packet_ref(event.data, packet.av) < 0)
        return;
    bool was_empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (skipping)
            return;  // can not happen between the two locks: one sending thread
        event.counted = !cached;
        if (event.counted) {
            live_packets++;
            live_bytes += bytes;
        }
        was_empty = events.empty();
        events.push_back(std::move(event));
    }
    if (was_empty && wake)
        wake();
}

void packet_queue_obj::stream_ended()
{
    event_t event;
    event.kind = event_t::ended;
    push(std::move(event));
}

size_t packet_queue_obj::drain(packet_subscriber_t& to, size_t max_events)
{
    size_t handed = 0;
    while (handed < max_events) {
        event_t event;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (events.empty())
                break;
            event = std::move(events.front());
            events.pop_front();
            if (event.counted) {
                live_packets--;
                live_bytes -= size_t(event.data->size);
            }
        }
        switch (event.kind) {
        case event_t::started:
            to.stream_started({event.parameters, event.time_base});
            break;
        case event_t::packet:
            to.stream_packet({event.data}, event.cached);
            break;
        case event_t::ended:
            to.stream_ended();
            break;
        }
        handed++;
    }
    return handed;
}

bool packet_queue_obj::empty() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return events.empty();
}

uint32_t packet_queue_obj::skips() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return skip_count;
}
