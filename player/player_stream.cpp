// Decoding one stream. Live rules: the newest picture matters, so a decoder
// that falls behind loses queued data (never the camera thread's time), and
// after any loss, as after joining a stream, nothing is shown until a key
// frame has been decoded: a picture built on missing references is garbage.
#include "player/player_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "player/picture_demand.h"
#include "settings/log.h"
#include "stream/media_av.h"

namespace {

// Packets the queue may hold whatever their size: two seconds at 60 fps.
constexpr size_t queue_max_packets = 120;
// The smallest and largest byte budget of a queue.
constexpr size_t queue_min_bytes = 256 * 1024;
constexpr size_t queue_max_bytes = 64u << 20;
// A source that never marks key packets is decoded anyway after this many.
constexpr uint32_t key_wait_limit = 300;
// Pictures above this many pixels are refused (about 8K): the BGRA copy of a
// hostile size must not exhaust memory.
constexpr int64_t max_picture_pixels = 8192LL * 4352;
// Buffers kept for reuse: the one shown, the one a reader holds, the next.
constexpr size_t pool_size = 3;

std::atomic<uint64_t> picture_serials{0};  // the last serial handed out
std::atomic<uint64_t> decoded_pictures{0};  // pictures out of any decoder

void free_packet(AVPacket* packet) { av_packet_free(&packet); }

// The description of a stream of the byte format, for the port's own fan-out.
bool start_own_source(packet_fanout_obj& fanout, const stream_header_t& header)
{
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (!parameters)
        return false;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AVCodecID(header.codec_id);
    parameters->width = header.width;
    parameters->height = header.height;
    bool ok = true;
    if (!header.extradata.empty()) {
        const size_t n = header.extradata.size();
        parameters->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        ok = parameters->extradata != nullptr;
        if (ok) {
            std::memcpy(parameters->extradata, header.extradata.data(), n);
            parameters->extradata_size = int(n);
        }
    }
    if (ok)
        fanout.start({parameters, {header.time_base_num, header.time_base_den}});
    avcodec_parameters_free(&parameters);
    return ok;
}

}  // namespace

player_stream_obj::player_stream_obj(int32_t port, uint32_t queue_bytes)
    : port(port), queue_limit(std::clamp<size_t>(queue_bytes, queue_min_bytes, queue_max_bytes)),
      source(std::make_shared<packet_fanout_obj>())
{
}

player_stream_obj::~player_stream_obj()
{
    stop();
    source->unsubscribe(this);
    avcodec_free_context(&decoder);
    av_frame_free(&frame);
}

picture_t::~picture_t() { av_frame_free(&frame); }

uint64_t pictures_decoded() { return decoded_pictures.load(); }

bool player_stream_obj::open(const stream_header_t& header)
{
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(AVCodecID(header.codec_id));
    if (!descriptor || descriptor->type != AVMEDIA_TYPE_VIDEO)
        return false;
    const AVCodec* codec = avcodec_find_decoder(descriptor->id);
    if (!codec || !(decoder = avcodec_alloc_context3(codec)) || !(frame = av_frame_alloc()))
        return false;
    decoder->width = header.width;
    decoder->height = header.height;
    decoder->time_base = {header.time_base_num, header.time_base_den};
    decoder->max_pixels = max_picture_pixels;
    decoder->thread_count = 2;
    decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // Frames with decoding errors are flagged rather than passed as clean.
    decoder->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
    if (!header.extradata.empty()) {
        const size_t n = header.extradata.size();
        decoder->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!decoder->extradata)
            return false;
        std::memcpy(decoder->extradata, header.extradata.data(), n);
        decoder->extradata_size = int(n);
    }
    return avcodec_open2(decoder, codec, nullptr) >= 0 && start_own_source(*source, header);
}

std::shared_ptr<packet_fanout_obj> player_stream_obj::packets() const
{
    std::lock_guard<std::mutex> control(control_mutex);
    return source;
}

bool player_stream_obj::use_packets(const std::shared_ptr<packet_fanout_obj>& packets)
{
    std::lock_guard<std::mutex> control(control_mutex);
    if (!packets || thread.joinable())
        return false;
    source = packets;
    own_source = false;
    return true;
}

bool player_stream_obj::play(video_surface_t* new_surface)
{
    std::lock_guard<std::mutex> control(control_mutex);
    if (thread.joinable()) {
        if (surface.load() == new_surface)
            return true;
        end_thread();
    }
    surface = new_surface;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        stopping = false;
    }
    thread = std::thread(&player_stream_obj::run, this);
    return true;
}

void player_stream_obj::stop()
{
    std::lock_guard<std::mutex> control(control_mutex);
    end_thread();
}

// Caller holds control_mutex.
void player_stream_obj::end_thread()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        stopping = true;
        drop_queue();
        // Whatever was queued is lost: a later play starts at a key frame.
        waiting_for_key = true;
        dropped_while_waiting = 0;
        gap = true;
        decoding = false;
        catching_up = false;
    }
    queue_ready.notify_all();
    if (thread.joinable())
        thread.join();
    surface = nullptr;
}

// Caller holds queue_mutex.
void player_stream_obj::drop_queue()
{
    for (AVPacket* p : queue)
        free_packet(p);
    queue.clear();
    queued_bytes = 0;
}

// Caller holds queue_mutex; the queue takes packet or frees it. False when
// it is dropped.
bool player_stream_obj::enqueue(AVPacket* packet)
{
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    const bool full = !queue.empty() &&
                      (queue.size() >= queue_max_packets + catch_up_packets ||
                       queued_bytes + size_t(packet->size) > queue_limit + catch_up_bytes);
    if (full) {
        // Old data is worth less than new: start again from the next key frame.
        restart_at_key();
    }
    if (waiting_for_key && !key && (key_flags_seen || dropped_while_waiting < key_wait_limit)) {
        dropped_while_waiting++;
        free_packet(packet);
        return false;
    }
    waiting_for_key = false;
    queue.push_back(packet);
    queued_bytes += size_t(packet->size);
    return true;
}

bool player_stream_obj::input(const uint8_t* bytes, uint32_t length)
{
    stream_packet_t in;
    if (!own_source || !read_packet(bytes, length, &in))
        return false;
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, int(in.size)) < 0) {
        free_packet(packet);
        return false;
    }
    std::memcpy(packet->data, in.payload, in.size);
    packet->pts = in.pts;
    packet->dts = in.dts;
    if (in.flags & stream_packet_key)
        packet->flags |= AV_PKT_FLAG_KEY;
    source->push({packet});
    free_packet(packet);
    return true;
}

void player_stream_obj::stream_started(const media_info_t&)
{
    // Another connection: the decoder starts again at its first key frame.
    std::lock_guard<std::mutex> lock(queue_mutex);
    restart_at_key();
}

void player_stream_obj::stream_ended() {}

void player_stream_obj::stream_packet(const media_packet_t& packet, bool)
{
    const bool key = (packet.av->flags & AV_PKT_FLAG_KEY) != 0;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        key_flags_seen = key_flags_seen || key;
        if (!decoding)
            return;
        AVPacket* queued = av_packet_alloc();
        if (queued && av_packet_ref(queued, packet.av) < 0)
            free_packet(queued);
        else if (queued)
            wake = enqueue(queued);
    }
    if (wake)
        queue_ready.notify_one();
}

// Caller holds queue_mutex: what is queued is lost, and the decoder waits
// for a key frame.
void player_stream_obj::restart_at_key()
{
    drop_queue();
    waiting_for_key = true;
    dropped_while_waiting = 0;
    gap = true;
    catching_up = false;
}

// Decoding starts at the fan-out's cached key frame, which it hands over
// when the stream subscribes (outside queue_mutex: the fan-out calls in
// under its own lock); the pictures before the newest are decoded but not
// shown.
void player_stream_obj::start_decoding(std::unique_lock<std::mutex>& lock)
{
    decoding = true;
    restart_at_key();
    catching_up = true;
    catch_up_bytes = SIZE_MAX / 2;
    catch_up_packets = SIZE_MAX / 2;
    lock.unlock();
    source->subscribe(this);
    lock.lock();
    catch_up_bytes = queued_bytes;
    catch_up_packets = queue.size();
    catching_up = decoding && !queue.empty();
}

// Caller holds queue_mutex; decode thread. The picture is dropped with the
// decoder's state: when someone looks again, an old picture is not the
// current one.
void player_stream_obj::stop_decoding(std::unique_lock<std::mutex>& lock)
{
    decoding = false;
    catching_up = false;
    lock.unlock();
    source->unsubscribe(this);
    lock.lock();
    drop_queue();
    avcodec_flush_buffers(decoder);
    shown_key = false;
    {
        std::lock_guard<std::mutex> picture_lock(picture_mutex);
        latest.reset();
    }
    pool.clear();
}

// Caller holds queue_mutex. Returns on new input, a change of demand, stop,
// or when a passing consumer's time ends.
void player_stream_obj::wait_for_work(std::unique_lock<std::mutex>& lock)
{
    const int64_t deadline = demand_deadline();
    if (!decoding || deadline == std::numeric_limits<int64_t>::max()) {
        queue_ready.wait(lock);
        return;
    }
    const int64_t left = std::max<int64_t>(deadline - demand_clock_ms(), 1);
    queue_ready.wait_for(lock, std::chrono::milliseconds(left));
}

void player_stream_obj::demand_changed()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
    }
    queue_ready.notify_all();
}

// The next packet, or null when the thread must end. A gap in the input is
// handed on as a decoder restart.
AVPacket* player_stream_obj::pop()
{
    std::unique_lock<std::mutex> lock(queue_mutex);
    for (;;) {
        if (stopping)
            return nullptr;
        const bool wanted = demand_active(demand_clock_ms());
        // Both let go of the lock for a while: what changed meanwhile
        // (a stop above all) is looked at again before any wait.
        if (decoding != wanted) {
            if (wanted)
                start_decoding(lock);
            else
                stop_decoding(lock);
            continue;
        }
        if (decoding && !queue.empty())
            break;
        wait_for_work(lock);
    }
    if (gap) {
        gap = false;
        avcodec_flush_buffers(decoder);
        shown_key = false;
    }
    AVPacket* packet = queue.front();
    queue.pop_front();
    queued_bytes -= size_t(packet->size);
    // Caught up once the decoder has every packet that came so far.
    if (queue.empty() && catching_up) {
        catching_up = false;
        catch_up_bytes = 0;
        catch_up_packets = 0;
    }
    showing = !catching_up;
    return packet;
}

void player_stream_obj::run()
{
    while (AVPacket* packet = pop()) {
        decode(packet);
        free_packet(packet);
    }
    source->unsubscribe(this);
}

void player_stream_obj::decode(AVPacket* packet)
{
    // A damaged packet is the decoder's to reject; the stream goes on.
    if (avcodec_send_packet(decoder, packet) < 0)
        return;
    while (avcodec_receive_frame(decoder, frame) == 0) {
        decoded_pictures++;
        if (!shown_key)
            shown_key = frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I;
        const bool damaged = frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT);
        if (showing && shown_key && !damaged)
            show(frame);
        av_frame_unref(frame);
    }
}

std::shared_ptr<picture_t> player_stream_obj::take_buffer()
{
    for (auto& buffer : pool) {
        // Only the pool holds it: no reader can reach it any more, since
        // readers copy only the latest picture, which is held twice.
        if (buffer.use_count() == 1) {
            std::atomic_thread_fence(std::memory_order_acquire);
            return buffer;
        }
    }
    auto buffer = std::make_shared<picture_t>();
    if (pool.size() < pool_size)
        pool.push_back(buffer);
    return buffer;
}

void player_stream_obj::show(const AVFrame* in)
{
    if (in->width <= 0 || in->height <= 0 || int64_t(in->width) * in->height > max_picture_pixels)
        return;
    std::shared_ptr<picture_t> buffer = take_buffer();
    if (!buffer->frame && !(buffer->frame = av_frame_alloc()))
        return;
    av_frame_unref(buffer->frame);
    if (av_frame_ref(buffer->frame, in) < 0)
        return;
    buffer->width = in->width;
    buffer->height = in->height;
    // Only a surface draws every picture; without one (daemon mode) the
    // readers convert the few pictures they ask for, at the size they need.
    video_surface_t* s = surface.load();
    buffer->has_bgra = false;
    if (s && !convert_for(s, in, *buffer))
        return;
    buffer->serial = ++picture_serials;
    {
        std::lock_guard<std::mutex> lock(picture_mutex);
        latest = buffer;
    }
    published.notify_all();
    if (s)
        s->picture_ready(port);
}

namespace {

// The size a surface's picture is converted to: the surface's own, so the
// paint copies it without scaling, unless that is larger than the picture
// (the paint may scale up; converting up would cost more for nothing).
void surface_size(video_surface_t* s, int32_t picture_width, int32_t picture_height,
                  int32_t& width, int32_t& height)
{
    width = picture_width;
    height = picture_height;
    int32_t w = 0;
    int32_t h = 0;
    if (s->drawing_size(&w, &h) && w > 0 && h > 0 && w <= picture_width && h <= picture_height) {
        width = w;
        height = h;
    }
}

}  // namespace

// One conversion from the decoded planes to BGRA at the surface's size.
bool player_stream_obj::convert_for(video_surface_t* s, const AVFrame* in, picture_t& buffer)
{
    surface_size(s, in->width, in->height, buffer.bgra_width, buffer.bgra_height);
    buffer.stride = buffer.bgra_width * 4;
    buffer.bgra.resize(size_t(buffer.stride) * size_t(buffer.bgra_height) + scale_padding);
    if (!scaler.scale_padded(in, buffer.bgra_width, buffer.bgra_height, packed_layout_t::bgra,
                             buffer.bgra.data(), buffer.stride, scale_filter_t::area))
        return false;
    buffer.has_bgra = true;
    return true;
}

std::shared_ptr<const picture_t> player_stream_obj::picture() const
{
    std::lock_guard<std::mutex> lock(picture_mutex);
    return latest;
}

bool player_stream_obj::wait_picture(uint32_t timeout_ms) const
{
    std::unique_lock<std::mutex> lock(picture_mutex);
    return published.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [this] { return latest != nullptr; });
}

bool player_stream_obj::refresh() const
{
    video_surface_t* s = surface.load();
    std::shared_ptr<const picture_t> p = picture();
    if (!s || !p)
        return false;
    if (p->has_bgra) {
        s->draw_picture(p->bgra.data(), p->bgra_width, p->bgra_height, p->stride);
        return true;
    }
    // Decoded before the surface came: converted here, once.
    int32_t width = 0;
    int32_t height = 0;
    surface_size(s, p->width, p->height, width, height);
    const int32_t stride = width * 4;
    std::vector<uint8_t> bgra(size_t(stride) * size_t(height));
    if (!thread_scaler().scale(p->frame, width, height, packed_layout_t::bgra, bgra.data(), stride))
        return false;
    s->draw_picture(bgra.data(), width, height, stride);
    return true;
}
