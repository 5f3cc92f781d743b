// The fan-out hands every subscriber the same packets by reference, gives a
// newcomer the running key-frame interval at once, and a live subscriber's
// queue stays bounded by skipping to the next key frame.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "stream/media_av.h"
#include "stream/packet_fanout.h"
#include "stream/packet_queue.h"

namespace {

// What a subscriber heard: "start", "end", or "K<n>"/"P<n>" for a key or
// other packet whose pts is n ("c" in front when it came from the cache).
struct recorder_t final : packet_subscriber_t {
    std::vector<std::string> heard;
    std::vector<const uint8_t*> payloads;
    void stream_started(const media_info_t& info) override
    {
        heard.push_back("start " + std::to_string(info.parameters->width));
    }
    void stream_packet(const media_packet_t& p, bool cached) override
    {
        heard.push_back(std::string(cached ? "c" : "") + ((p.av->flags & AV_PKT_FLAG_KEY) ? "K" : "P") +
                        std::to_string(p.av->pts));
        payloads.push_back(p.av->data);
    }
    void stream_ended() override { heard.push_back("end"); }
};

struct stream_t {
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    stream_t(int width = 320)
    {
        parameters->codec_type = AVMEDIA_TYPE_VIDEO;
        parameters->codec_id = AV_CODEC_ID_H264;
        parameters->width = width;
    }
    ~stream_t() { avcodec_parameters_free(&parameters); }
    media_info_t info() const { return {parameters, {1, 90000}}; }
};

// Pushes one packet of size bytes; a key packet when key.
const uint8_t* push(packet_fanout_obj& fanout, int64_t pts, bool key, int size = 100)
{
    AVPacket* p = av_packet_alloc();
    EXPECT_EQ(av_new_packet(p, size), 0);
    p->pts = p->dts = pts;
    if (key)
        p->flags |= AV_PKT_FLAG_KEY;
    const uint8_t* data = p->data;
    fanout.push({p});
    av_packet_free(&p);
    return data;
}

using heard_t = std::vector<std::string>;

TEST(packet_fanout, newcomer_gets_the_running_key_frame_interval_by_reference)
{
    packet_fanout_obj fanout;
    stream_t s;
    recorder_t early;
    fanout.subscribe(&early);
    fanout.start(s.info());
    push(fanout, 1, false);  // before any key frame: no use to a newcomer
    const uint8_t* key = push(fanout, 2, true);
    push(fanout, 3, false);
    recorder_t late;
    fanout.subscribe(&late);
    push(fanout, 4, false);
    EXPECT_EQ(early.heard, (heard_t{"start 320", "P1", "K2", "P3", "P4"}));
    EXPECT_EQ(late.heard, (heard_t{"start 320", "cK2", "cP3", "P4"}));
    // The same bytes, not a copy.
    EXPECT_EQ(late.payloads[0], key);
    EXPECT_EQ(early.payloads[1], key);

    // A new key frame starts the cache afresh; the end of a stream empties it.
    push(fanout, 5, true);
    EXPECT_EQ(fanout.cached_packets(), 1u);
    fanout.unsubscribe(&late);
    EXPECT_EQ(late.heard.back(), "end");
    fanout.end();
    EXPECT_EQ(early.heard.back(), "end");
    EXPECT_EQ(fanout.cached_packets(), 0u);
    recorder_t after;
    fanout.subscribe(&after);
    EXPECT_TRUE(after.heard.empty());
    fanout.unsubscribe(&after);
    fanout.unsubscribe(&early);
}

TEST(packet_fanout, an_interval_past_the_bounds_is_not_cached)
{
    packet_fanout_obj fanout({4, 1000});
    stream_t s;
    fanout.start(s.info());
    push(fanout, 1, true);
    for (int i = 2; i <= 4; i++)
        push(fanout, i, false);
    EXPECT_EQ(fanout.cached_packets(), 4u);
    push(fanout, 5, false);  // a fifth packet: more than the cache holds
    EXPECT_EQ(fanout.cached_packets(), 0u);
    recorder_t late;
    fanout.subscribe(&late);
    EXPECT_EQ(late.heard, (heard_t{"start 320"}));
    push(fanout, 6, false);
    EXPECT_EQ(fanout.cached_packets(), 0u);  // still none until the next key frame
    push(fanout, 7, true, 900);
    push(fanout, 8, false, 200);  // 1100 bytes: past the byte bound
    EXPECT_EQ(fanout.cached_packets(), 0u);
    fanout.unsubscribe(&late);

    // A source that marks no key frames at all keeps its last packets.
    packet_fanout_obj unmarked({3, 1000});
    unmarked.start(s.info());
    for (int i = 1; i <= 5; i++)
        push(unmarked, i, false);
    recorder_t newcomer;
    unmarked.subscribe(&newcomer);
    EXPECT_EQ(newcomer.heard, (heard_t{"start 320", "cP3", "cP4", "cP5"}));
    unmarked.unsubscribe(&newcomer);
}

TEST(packet_queue, a_consumer_that_falls_behind_skips_to_the_next_key_frame)
{
    packet_fanout_obj fanout;
    stream_t s;
    std::atomic<int> wakes{0};
    packet_queue_obj queue([&] { wakes++; }, "test viewer", {5, 1u << 20});
    fanout.start(s.info());
    // A long running interval reaches the newcomer whole, over the bounds.
    push(fanout, 1, true);
    for (int i = 2; i <= 8; i++)
        push(fanout, i, false);
    fanout.subscribe(&queue);
    EXPECT_EQ(wakes.load(), 1);  // once, when the queue stopped being empty
    for (int i = 9; i <= 13; i++)
        push(fanout, i, false);  // five live packets: the bounds, still whole
    EXPECT_EQ(queue.skips(), 0u);
    push(fanout, 14, false);  // the sixth: the queue drops its packets ...
    push(fanout, 15, false);  // ... and everything up to the next key frame
    push(fanout, 16, true);
    push(fanout, 17, false);
    EXPECT_EQ(queue.skips(), 1u);
    recorder_t consumer;
    EXPECT_EQ(queue.drain(consumer), 3u);
    EXPECT_EQ(consumer.heard, (heard_t{"start 320", "K16", "P17"}));
    EXPECT_TRUE(queue.empty());

    // A consumer that keeps up never skips; the end reaches it.
    for (int i = 18; i <= 40; i++) {
        push(fanout, i, i % 10 == 0);
        queue.drain(consumer);
    }
    fanout.unsubscribe(&queue);
    queue.drain(consumer);
    EXPECT_EQ(queue.skips(), 1u);
    EXPECT_EQ(consumer.heard.size(), 3u + 23u + 1u);
    EXPECT_EQ(consumer.heard.back(), "end");
}

TEST(packet_queue, the_byte_bound_counts_too_and_a_new_stream_clears_the_skip)
{
    packet_fanout_obj fanout;
    stream_t s;
    packet_queue_obj queue(nullptr, "test viewer", {1000, 1000});
    fanout.subscribe(&queue);
    fanout.start(s.info());
    push(fanout, 1, true, 600);
    push(fanout, 2, false, 600);  // 1200 bytes waiting: over the bound
    push(fanout, 3, false, 10);
    fanout.end();
    stream_t other(640);
    fanout.start(other.info());  // another connection starts at a key frame of its own
    push(fanout, 4, false, 10);
    recorder_t consumer;
    queue.drain(consumer);
    EXPECT_EQ(consumer.heard, (heard_t{"start 320", "end", "start 640", "P4"}));
    fanout.unsubscribe(&queue);
}

TEST(packet_fanout, subscribers_come_and_go_while_packets_flow)
{
    packet_fanout_obj fanout;
    stream_t s;
    fanout.start(s.info());
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < 3000; i++)
            push(fanout, i, i % 25 == 0);
        done = true;
    });
    int rounds = 0;
    while (!done || rounds < 10) {
        packet_queue_obj queue(nullptr, "test viewer");
        fanout.subscribe(&queue);
        recorder_t consumer;
        queue.drain(consumer);
        fanout.unsubscribe(&queue);
        queue.drain(consumer);
        // Whatever it got starts with the stream and a key frame, and ends.
        ASSERT_GE(consumer.heard.size(), 2u);
        EXPECT_EQ(consumer.heard.front(), "start 320");
        if (consumer.heard.size() > 2)
            EXPECT_NE(consumer.heard[1].substr(0, 2).find('K'), std::string::npos)
                << consumer.heard[1];
        EXPECT_EQ(consumer.heard.back(), "end");
        rounds++;
    }
    sender.join();
}

}  // namespace
