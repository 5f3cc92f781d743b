// One camera stream handed to every consumer: the receive thread starts a
// stream, pushes its packets and ends it; each subscriber (the decoder while
// someone looks, the recorder, live web streams) hears the same events, by
// reference, never by copy. The fan-out keeps the packets since the most
// recent key frame, so that a newcomer gets the running key-frame interval
// at once and can start decoding straight away. Subscribers are called on
// the sending thread under the fan-out's lock: they must not block and must
// not call the fan-out. (Un)subscribing may come from any other thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct media_packet_t;  // stream/media_av.h
struct media_info_t;    // stream/media_av.h

class packet_subscriber_t {
public:
    virtual ~packet_subscriber_t() = default;
    // A connection's stream begins.
    virtual void stream_started(const media_info_t& info) = 0;
    // One packet; cached is true for the running interval a newcomer gets
    // when it subscribes, false for a packet as it arrives.
    virtual void stream_packet(const media_packet_t& packet, bool cached) = 0;
    // The connection dropped, or the subscriber was removed.
    virtual void stream_ended() = 0;
};

// Bounds of the key-frame cache: more than a key-frame interval of 10 s at
// 25 fps, and up to a high bit rate. A longer interval is not cached; a
// newcomer then starts at the next key frame.
struct packet_cache_limits_t {
    size_t max_packets = 600;
    size_t max_bytes = 32u << 20;
};

class packet_fanout_obj {
public:
    explicit packet_fanout_obj(const packet_cache_limits_t& limits = {});
    ~packet_fanout_obj();
    packet_fanout_obj(const packet_fanout_obj&) = delete;
    packet_fanout_obj& operator=(const packet_fanout_obj&) = delete;

    // The sending thread's three events.
    void start(const media_info_t& info);
    void push(const media_packet_t& packet);
    void end();

    // A subscriber added while a stream runs hears stream_started and the
    // cached packets at once. It stays the caller's; it must be removed
    // before it goes.
    void subscribe(packet_subscriber_t* subscriber);
    // Returns when no call to the subscriber runs any more; it hears
    // stream_ended when a stream was running.
    void unsubscribe(packet_subscriber_t* subscriber);

    bool streaming() const;
    // Packets and bytes in the key-frame cache now.
    size_t cached_packets() const;
    size_t cached_bytes() const;

private:
    struct cache_t;
    void keep(const media_packet_t& packet);

    const packet_cache_limits_t limits;       // the key-frame cache's bounds
    mutable std::mutex mutex;                 // guards everything below, held during every call out
    std::vector<packet_subscriber_t*> subscribers;  // in the order they came
    std::unique_ptr<cache_t> cache;           // the stream's description and its running interval
};
