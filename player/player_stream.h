// Internal to the player layer: one open stream of a port. Its packets come
// from a fan-out (stream/packet_fanout.h): the camera preview's, or the
// port's own, which data blocks of the byte format feed. While someone looks
// at pictures (picture_demand.h) the stream subscribes to the fan-out, which
// hands it the running key-frame interval at once, and a decode thread of
// its own decodes from a bounded queue: it starts from that key frame,
// catches up without showing anything, then keeps the latest picture as
// decoded and tells the video surface; while a surface shows the pictures, each is also converted to
// BGRA at the surface's size on the decode thread, ready to draw. Without a
// consumer nothing is decoded and no picture is kept. Picture queries come
// from any thread. The port table owns the stream through a shared pointer,
// so a data block being queued keeps it alive while another thread closes
// the port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "player/frame_scaler.h"
#include "player/player.h"
#include "player/stream_format.h"
#include "stream/packet_fanout.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// One decoded picture; never changed once published. Readers convert the
// decoded planes to what they need, of any size, straight from the frame.
struct picture_t {
    picture_t() = default;
    ~picture_t();
    picture_t(const picture_t&) = delete;
    picture_t& operator=(const picture_t&) = delete;

    AVFrame* frame = nullptr;   // the decoded picture, a reference of its own
    std::vector<uint8_t> bgra;  // bgra_height top-down rows of stride bytes (then padding), when has_bgra
    bool has_bgra = false;      // converted for the surface on the decode thread
    int32_t width = 0;          // the decoded picture's size
    int32_t height = 0;
    int32_t bgra_width = 0;     // the size it was converted to for the surface
    int32_t bgra_height = 0;
    int32_t stride = 0;         // bytes per BGRA row, bgra_width * 4
    uint64_t serial = 0;        // grows with every published picture, across ports
};

// Pictures out of every stream's decoder since start.
uint64_t pictures_decoded();

class player_stream_obj final : public packet_subscriber_t {
public:
    // queue_bytes bounds the data waiting for the decoder.
    player_stream_obj(int32_t port, uint32_t queue_bytes);
    ~player_stream_obj() override;
    player_stream_obj(const player_stream_obj&) = delete;
    player_stream_obj& operator=(const player_stream_obj&) = delete;

    // Opens the decoder the header names; false for an unusable header.
    bool open(const stream_header_t& header);
    // Starts decoding (the surface may be null: decode without drawing).
    bool play(video_surface_t* surface);
    // Ends decoding; returns when the decode thread has ended.
    void stop();
    // Hands one data block to the port's own fan-out; false when it is
    // malformed or the port takes its packets from a camera's fan-out.
    bool input(const uint8_t* bytes, uint32_t length);
    // Takes the packets from packets instead of data blocks; before play.
    bool use_packets(const std::shared_ptr<packet_fanout_obj>& packets);
    std::shared_ptr<packet_fanout_obj> packets() const;

    // The fan-out's calls, while the stream decodes.
    void stream_started(const media_info_t& info) override;
    void stream_packet(const media_packet_t& packet, bool cached) override;
    void stream_ended() override;
    // The latest picture, null before the first one and while nobody
    // looks (an old picture is not the current one).
    std::shared_ptr<const picture_t> picture() const;
    // Waits up to timeout_ms for a picture.
    bool wait_picture(uint32_t timeout_ms) const;
    // Draws the latest picture into the surface on the calling thread.
    bool refresh() const;
    // The demand for pictures changed: the decode thread looks again.
    void demand_changed();

private:
    void end_thread();
    void run();
    AVPacket* pop();
    void wait_for_work(std::unique_lock<std::mutex>& lock);
    void start_decoding(std::unique_lock<std::mutex>& lock);
    void stop_decoding(std::unique_lock<std::mutex>& lock);
    void restart_at_key();
    void decode(AVPacket* packet);
    void show(const AVFrame* frame);
    bool convert_for(video_surface_t* s, const AVFrame* in, picture_t& buffer);
    std::shared_ptr<picture_t> take_buffer();
    void drop_queue();
    bool enqueue(AVPacket* packet);

    const int32_t port;             // the port number handed to the surface
    const size_t queue_limit;       // bytes the queue may hold
    std::shared_ptr<packet_fanout_obj> source;  // where the packets come from
    bool own_source = true;         // source is the port's own, fed by input
    AVCodecContext* decoder = nullptr;  // used by the decode thread once playing
    AVFrame* frame = nullptr;           // the decode thread's output frame
    frame_scaler_t scaler;              // converts to BGRA; the decode thread's
    mutable std::mutex control_mutex;   // serialises play and stop; guards source
    std::thread thread;                 // the decode thread, while playing
    std::atomic<video_surface_t*> surface{nullptr};  // where pictures go, may be null
    bool shown_key = false;         // a key frame was shown since the last gap (decode thread)
    bool showing = false;           // caught up: decoded pictures are shown (decode thread)

    // The input queue.
    std::mutex queue_mutex;               // guards the members up to the blank line
    std::condition_variable queue_ready;  // a packet came, or stop was asked
    std::deque<AVPacket*> queue;          // packets waiting for the decoder
    size_t queued_bytes = 0;              // their payload bytes
    bool stopping = false;                // the decode thread must end
    bool waiting_for_key = true;          // drop input until a key packet
    bool key_flags_seen = false;          // the source marks key packets at all
    uint32_t dropped_while_waiting = 0;   // packets dropped since waiting began
    bool gap = false;                     // packets were dropped: the decoder restarts
    bool decoding = false;                // a consumer looks: the queue is fed and decoded
    bool catching_up = false;             // the queue began with the cached packets, not yet all decoded
    size_t catch_up_bytes = 0;            // room the cached packets add to the queue's budget meanwhile
    size_t catch_up_packets = 0;

    // The latest picture.
    mutable std::mutex picture_mutex;         // guards latest
    mutable std::condition_variable published;  // a picture was published
    std::shared_ptr<picture_t> latest;        // null before the first picture and while idle
    std::vector<std::shared_ptr<picture_t>> pool;  // buffers reused for new pictures
};
