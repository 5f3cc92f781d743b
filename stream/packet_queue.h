// A live subscriber's bounded queue: the fan-out's thread puts stream events
// in, the consumer's thread (the web server's) takes them out when it can
// send. A consumer that falls behind does not make the queue grow: once it
// holds more than its bounds, its packets are dropped and the queue skips
// to the next key frame (never a picture without its references), with one
// log line. The running interval a newcomer gets at once is not counted
// against the bounds: it shares its bytes with the fan-out's cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "stream/packet_fanout.h"

struct packet_queue_limits_t {
    size_t max_packets = 250;      // ten seconds at 25 fps
    size_t max_bytes = 4u << 20;   // ten seconds at a few Mbit/s
};

class packet_queue_obj final : public packet_subscriber_t {
public:
    // wake is called on the sending thread when the queue stops being
    // empty; it must not block (it wakes the consumer's thread). who names
    // the consumer in the log line.
    packet_queue_obj(std::function<void()> wake, std::string who,
                     const packet_queue_limits_t& limits = {});
    ~packet_queue_obj() override;

    void stream_started(const media_info_t& info) override;
    void stream_packet(const media_packet_t& packet, bool cached) override;
    void stream_ended() override;

    // Consumer thread: hands the queued events, oldest first, to to (at most
    // max_events of them); returns how many it handed.
    size_t drain(packet_subscriber_t& to, size_t max_events = SIZE_MAX);
    bool empty() const;
    // Times the queue skipped to a key frame.
    uint32_t skips() const;

private:
    struct event_t;
    void push(event_t&& event);

    const std::function<void()> wake;     // tells the consumer there is work
    const std::string who;                // for the log line
    const packet_queue_limits_t limits;   // the bounds of live packets
    mutable std::mutex mutex;             // guards everything below
    std::deque<event_t> events;           // waiting for the consumer
    size_t live_packets = 0;              // packets in events that count against the bounds
    size_t live_bytes = 0;                // their payload bytes
    bool skipping = false;                // packets are dropped until a key packet
    uint32_t skip_count = 0;              // times the queue skipped
};
