// The fan-out and its key-frame cache. A key packet starts the cache afresh;
// past its bounds the cache is dropped until the next key packet. A source
// that never marks key packets gets its last packets kept instead: its
// decoder shows nothing before a picture that stands alone anyway.
#include "stream/packet_fanout.h"

#include <algorithm>
#include <deque>

#include "stream/media_av.h"

struct packet_fanout_obj::cache_t {
    AVCodecParameters* parameters = avcodec_parameters_alloc();  // the running stream's
    AVRational time_base{1, 90000};  // of its packets
    bool streaming = false;          // between start and end
    bool key_flags_seen = false;     // the source marks key packets at all
    bool usable = false;             // packets begins with a key packet (or none are marked)
    std::deque<AVPacket*> packets;   // references to the packets since the last key packet
    size_t bytes = 0;                // their payload bytes

    ~cache_t()
    {
        drop();
        avcodec_parameters_free(&parameters);
    }
    void drop()
    {
        for (AVPacket*& p : packets)
            av_packet_free(&p);
        packets.clear();
        bytes = 0;
        usable = false;
    }
    void drop_oldest()
    {
        bytes -= size_t(packets.front()->size);
        av_packet_free(&packets.front());
        packets.pop_front();
    }
};

packet_fanout_obj::packet_fanout_obj(const packet_cache_limits_t& limits)
    : limits(limits), cache(std::make_unique<cache_t>())
{
}

packet_fanout_obj::~packet_fanout_obj() = default;

void packet_fanout_obj::start(const media_info_t& info)
{
    std::lock_guard<std::mutex> lock(mutex);
    cache->drop();
    cache->key_flags_seen = false;
    cache->streaming =
        cache->parameters && avcodec_parameters_copy(cache->parameters, info.parameters) >= 0;
    cache->time_base = info.time_base;
    if (!cache->streaming)
        return;
    const media_info_t own{cache->parameters, cache->time_base};
    for (packet_subscriber_t* s : subscribers)
        s->stream_started(own);
}

void packet_fanout_obj::push(const media_packet_t& packet)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!cache->streaming || packet.av->size <= 0)
        return;
    keep(packet);
    for (packet_subscriber_t* s : subscribers)
        s->stream_packet(packet, false);
}

void packet_fanout_obj::end()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (cache->streaming)
        for (packet_subscriber_t* s : subscribers)
            s->stream_ended();
    cache->streaming = false;
    cache->drop();
}

// Caller holds mutex.
void packet_fanout_obj::keep(const media_packet_t& packet)
{
    const bool key = (packet.av->flags & AV_PKT_FLAG_KEY) != 0;
    const size_t size = size_t(packet.av->size);
    cache_t& c = *cache;
    c.key_flags_seen = c.key_flags_seen || key;
    const auto over = [&] {
        return c.packets.size() >= limits.max_packets || c.bytes + size > limits.max_bytes;
    };
    if (key) {
        c.drop();
        c.usable = true;
    } else if (!c.key_flags_seen) {
        c.usable = true;
        while (!c.packets.empty() && over())
            c.drop_oldest();
    } else if (over()) {
        c.drop();
    }
    if (!c.usable || size > limits.max_bytes)
        return;
    AVPacket* ref = av_packet_alloc();
    if (!ref || av_packet_ref(ref, packet.av) < 0) {
        av_packet_free(&ref);
        c.drop();  // a hole would leave a newcomer's pictures without their references
        return;
    }
    c.packets.push_back(ref);
    c.bytes += size;
}

void packet_fanout_obj::subscribe(packet_subscriber_t* subscriber)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (std::find(subscribers.begin(), subscribers.end(), subscriber) != subscribers.end())
        return;
    subscribers.push_back(subscriber);
    if (!cache->streaming)
        return;
    subscriber->stream_started({cache->parameters, cache->time_base});
    for (const AVPacket* p : cache->packets)
        subscriber->stream_packet({p}, true);
}

void packet_fanout_obj::unsubscribe(packet_subscriber_t* subscriber)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = std::find(subscribers.begin(), subscribers.end(), subscriber);
    if (it == subscribers.end())
        return;
    subscribers.erase(it);
    if (cache->streaming)
        subscriber->stream_ended();
}

bool packet_fanout_obj::streaming() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return cache->streaming;
}

size_t packet_fanout_obj::cached_packets() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return cache->packets.size();
}

size_t packet_fanout_obj::cached_bytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return cache->bytes;
}
