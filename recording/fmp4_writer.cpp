// The fragmented MP4 writer. The muxer writes into memory (a custom I/O
// context), fragments are cut by hand before each key frame, and each cut
// goes to the file in one write followed by a push to the disk. A packet is
// held back until the next one arrives, because a live stream tells a
// frame's duration only then; without it the last frame of every fragment
// would have no length and the fragments would not join up.
#include "recording/fmp4_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include "recording/codec_setup.h"

namespace {

// A camera with long key-frame intervals must not make the writer keep many
// megabytes that a crash would lose: such a fragment is cut early.
constexpr size_t max_fragment_bytes = 8u << 20;
// A camera clock that steps back, or forward by more than this, starts a new
// piece of the file's timeline rather than a frame shown for that long.
constexpr int64_t max_step_seconds = 10;
// The length of a frame whose successor never came, when no earlier frame tells.
constexpr AVRational default_frame_duration = {1, 25};
// The muxer's write buffer; whatever its size, only whole fragments reach the file.
constexpr int io_buffer_size = 64 * 1024;

}  // namespace

fmp4_writer_obj::fmp4_writer_obj(std::unique_ptr<file_output_t> file, fragment_mode_t mode)
    : output(std::move(file)), mode(mode), file_path(output ? output->path() : std::string()),
      file_parameters(avcodec_parameters_alloc()), held(av_packet_alloc())
{
    if (!output)
        error_code = EBADF;
    else if (!file_parameters || !held)
        error_code = ENOMEM;
}

fmp4_writer_obj::~fmp4_writer_obj()
{
    finish();
    avcodec_parameters_free(&file_parameters);
    av_packet_free(&held);
}

bool fmp4_writer_obj::same_stream(const AVCodecParameters* a, const AVCodecParameters* b)
{
    return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height &&
           a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata,
                                                  size_t(a->extradata_size)) == 0);
}

bool fmp4_writer_obj::stream_started(const AVCodecParameters* parameters, AVRational time_base)
{
    if (failed())
        return true;  // nothing more goes into this file; not a reason for another
    if (mux) {
        if (!same_stream(file_parameters, parameters))
            return false;
    } else if (avcodec_parameters_copy(file_parameters, parameters) < 0) {
        fail(ENOMEM);
        return true;
    }
    if (time_base.num > 0 && time_base.den > 0)
        input_time_base = time_base;
    need_key = true;
    rebase = true;
    return true;
}

bool fmp4_writer_obj::write(const AVPacket* packet)
{
    if (failed() || !output)
        return !failed();
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if ((need_key && !key) || packet->size <= 0)
        return true;
    if (!mux && !begin_file(packet))
        return false;
    need_key = false;

    if (holding && same_picture(packet))
        return append_to_held(packet);
    int64_t pts = 0;
    const bool follows = !rebase;
    const int64_t dts = place(packet, &pts);
    if (mode == fragment_mode_t::frame && follows)
        learn_duration(dts);
    last_placed = dts;
    if (holding && !write_held(dts - held->dts))
        return false;
    if (((key && fragment_samples > 0) || fragment_bytes >= max_fragment_bytes) &&
        !end_fragment())
        return false;
    if (av_packet_ref(held, packet) < 0)
        return fail(ENOMEM);
    held_input_time = input_time(packet);
    held->stream_index = 0;
    held->dts = dts;
    held->pts = pts;
    held->duration = 0;
    held->pos = -1;
    holding = true;
    if (mode == fragment_mode_t::frame)
        return write_held(frame_duration()) && end_fragment();
    return true;
}

// A live frame goes out before its successor tells its length: it gets its
// predecessor's, which the gap between their decoding times tells. A gap
// of several frames (the camera or a slow reader dropped some) is not a
// frame's length; the next fragment's start time places the frame anyway.
void fmp4_writer_obj::learn_duration(int64_t dts)
{
    const int64_t gap = dts - last_placed;
    if (last_placed != AV_NOPTS_VALUE && gap > 0 && (last_duration == 0 || gap <= 3 * last_duration))
        last_duration = gap;
}

int64_t fmp4_writer_obj::input_time(const AVPacket* packet)
{
    return packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
}

// All packets of one picture carry its RTP timestamp; a stream that is not
// parsed on the way in may hand over a picture in more than one packet.
bool fmp4_writer_obj::same_picture(const AVPacket* packet) const
{
    const int64_t t = input_time(packet);
    return t != AV_NOPTS_VALUE && t == held_input_time;
}

// The picture's next part joins its first in one sample.
bool fmp4_writer_obj::append_to_held(const AVPacket* packet)
{
    const int old_size = held->size;
    if (av_packet_make_writable(held) < 0 || av_grow_packet(held, packet->size) < 0)
        return fail(ENOMEM);
    std::memcpy(held->data + old_size, packet->data, size_t(packet->size));
    held->flags |= packet->flags & AV_PKT_FLAG_KEY;
    return true;
}

// A packet time in the file's time base, or AV_NOPTS_VALUE for none. A
// camera may send any 64-bit value; times beyond about 2^60 ticks (thousands
// of years) count as none, so that the offsets below never overflow.
int64_t fmp4_writer_obj::file_time(int64_t input) const
{
    constexpr int64_t limit = int64_t(1) << 60;
    if (input == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    const int64_t t = av_rescale_q(input, input_time_base, file_time_base);
    return t > -limit && t < limit ? t : AV_NOPTS_VALUE;
}

// The packet's place on the file's timeline: the first packet of a file
// starts at 0, a new connection continues where the last one ended, and the
// decoding times only ever grow.
int64_t fmp4_writer_obj::place(const AVPacket* packet, int64_t* pts)
{
    const int64_t expected = holding ? held->dts + frame_duration() : next_dts;
    const int64_t scaled = file_time(input_time(packet));
    if (scaled == AV_NOPTS_VALUE) {
        rebase = true;  // the next timed packet picks the timeline up from here
        *pts = expected;
        return expected;
    }
    if (rebase)
        offset = expected - scaled;
    rebase = false;
    int64_t dts = scaled + offset;
    const int64_t max_step = av_rescale_q(max_step_seconds, {1, 1}, file_time_base);
    if (last_placed != AV_NOPTS_VALUE && (dts <= last_placed || dts - last_placed > max_step)) {
        offset = expected - scaled;
        dts = expected;
    }
    const int64_t scaled_pts = file_time(packet->pts);
    *pts = scaled_pts == AV_NOPTS_VALUE ? dts : std::max(dts, scaled_pts + offset);
    return dts;
}

int64_t fmp4_writer_obj::frame_duration() const
{
    if (last_duration > 0)
        return last_duration;
    return std::max<int64_t>(av_rescale_q(1, default_frame_duration, file_time_base), 1);
}

bool fmp4_writer_obj::write_held(int64_t duration)
{
    held->duration = duration;
    if (mode == fragment_mode_t::key_frame_interval)
        last_duration = duration;
    next_dts = held->dts + duration;
    fragment_bytes += size_t(held->size);
    fragment_samples++;
    const int r = av_write_frame(mux, held);
    av_packet_unref(held);
    holding = false;
    return r < 0 ? fail(r) : true;
}

bool fmp4_writer_obj::end_fragment()
{
    const int r = av_write_frame(mux, nullptr);
    fragment_samples = 0;
    fragment_bytes = 0;
    if (r < 0)
        return fail(r);
    return push_to_file();
}

// The header and the fragment formed since the last push go to the file in
// one write. A write that fails half-way is cut back, so the file still ends
// on a whole fragment.
bool fmp4_writer_obj::push_to_file()
{
    avio_flush(io);
    if (io->error < 0)
        return fail(io->error);
    if (pending.empty())
        return true;
    const int e = output->write_all(pending.data(), pending.size());
    if (e != 0) {
        output->cut_back(file_size);
        return fail(e);
    }
    file_size += pending.size();
    pending.clear();
    const int s = output->sync();
    return s != 0 ? fail(s) : true;
}

int fmp4_writer_obj::collect(void* opaque, uint8_t* bytes, int length)
{
    auto* self = static_cast<fmp4_writer_obj*>(opaque);
    self->pending.insert(self->pending.end(), bytes, bytes + length);
    return length;
}

bool fmp4_writer_obj::begin_file(const AVPacket* key)
{
    if (file_parameters->codec_id == AV_CODEC_ID_NONE)
        return fail(AVERROR(EINVAL));
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", nullptr) < 0 || !mux)
        return fail(ENOMEM);
    auto* buffer = static_cast<uint8_t*>(av_malloc(io_buffer_size));
    io = buffer ? avio_alloc_context(buffer, io_buffer_size, 1, this, nullptr,
                                     &fmp4_writer_obj::collect, nullptr)
                : nullptr;
    AVStream* stream = io ? avformat_new_stream(mux, nullptr) : nullptr;
    if (!stream || avcodec_parameters_copy(stream->codecpar, file_parameters) < 0) {
        if (!io)
            av_free(buffer);
        close_mux();
        return fail(ENOMEM);
    }
    // The file's description is completed from the key frame; file_parameters
    // stay as the camera layer gave them, for comparing the next connection.
    if (!complete_codec_parameters(stream->codecpar, key)) {
        close_mux();
        return fail(AVERROR_INVALIDDATA);
    }
    mux->pb = io;
    mux->flags |= AVFMT_FLAG_CUSTOM_IO;
    stream->codecpar->codec_tag = 0;
    stream->time_base = input_time_base;

    // Fragments are cut here, not by the muxer; the moov goes first and
    // holds no samples, so every fragment stands on its own.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
    av_dict_set(&options, "flush_packets", "0", 0);
    const int r = avformat_write_header(mux, &options);
    av_dict_free(&options);
    if (r < 0) {
        close_mux();
        return fail(r);
    }
    file_time_base = stream->time_base;
    return true;
}

// Whether an H.264 or H.265 sample in start-code form holds a coded
// picture. A camera that drops between pictures may leave the next one's
// access unit delimiter, SEI or parameter sets without any slice; as a
// sample of its own that is "an access unit without a picture", a decoding
// error in every player. Other forms and codecs count as pictures.
bool fmp4_writer_obj::holds_picture(const AVPacket* packet) const
{
    if (!file_parameters)
        return true;
    const AVCodecID codec = file_parameters->codec_id;
    if (codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_HEVC)
        return true;
    bool start_codes = false;
    for (int i = 0; i + 3 < packet->size; i++) {
        if (packet->data[i] != 0 || packet->data[i + 1] != 0 || packet->data[i + 2] != 1)
            continue;
        start_codes = true;
        const uint8_t header = packet->data[i + 3];
        const int type = codec == AV_CODEC_ID_H264 ? (header & 0x1f) : ((header >> 1) & 0x3f);
        if (codec == AV_CODEC_ID_H264 ? (type >= 1 && type <= 5) : type < 32)
            return true;
    }
    return !start_codes;
}

bool fmp4_writer_obj::stream_ended()
{
    // The connection's last sample, cut off before its picture, is left out.
    if (holding && !holds_picture(held)) {
        av_packet_unref(held);
        holding = false;
    }
    const bool ok = failed() || !mux || !holding || write_held(frame_duration());
    need_key = true;
    rebase = true;
    if (!ok || failed())
        return false;
    return !mux || fragment_samples == 0 || end_fragment();
}

bool fmp4_writer_obj::finish()
{
    if (!output)
        return !failed();
    if (mux && stream_ended()) {
        const int r = av_write_trailer(mux);
        if (r < 0)
            fail(r);
        else
            push_to_file();
    }
    close_mux();
    // A file that never got a whole fragment plays nothing: leave none behind.
    if (file_size == 0)
        output->discard();
    output.reset();
    return !failed();
}

bool fmp4_writer_obj::fail(int code)
{
    if (error_code == 0)
        error_code = code != 0 ? code : EIO;
    return false;
}

void fmp4_writer_obj::close_mux()
{
    if (mux) {
        mux->pb = nullptr;
        avformat_free_context(mux);
        mux = nullptr;
    }
    if (io) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
    pending.clear();
}
