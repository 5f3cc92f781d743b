// libFuzzer target: what a camera sends, as recording receives it. The
// input is a camera stream in the stream callback's own bytes: a stream
// header, then data blocks (packet header and payload), each behind a small
// frame of the fuzzer's (see stream_fuzz_input.h). The blocks go through the
// MP4 writer the way a recorder's writer thread hands them on, with
// connection drops and restarts, and through a packet fan-out to live
// subscribers: a small bounded queue drained now and then into the live
// fragmenter (one fragment per frame), and a latecomer that starts from the
// fan-out's key-frame cache. Single-threaded. player_fuzz.cpp sends the
// same inputs through a player port.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "player/stream_format.h"
#include "recording/fmp4_writer.h"
#include "recording/live_fragmenter.h"
#include "stream/media_av.h"
#include "stream/packet_fanout.h"
#include "stream/packet_queue.h"
#include "tests/fuzz/stream_fuzz_input.h"

namespace {

// A recording file in memory: the writer's bytes go nowhere, so every
// execution starts from the same empty disk.
class memory_output_t : public file_output_t {
public:
    int write_all(const uint8_t* bytes, size_t length) override
    {
        if (length && !bytes)
            std::abort();
        size += length;
        return 0;
    }
    int cut_back(uint64_t length) override
    {
        if (length > size)
            std::abort();
        size = length;
        return 0;
    }
    int sync() override { return 0; }
    void discard() override { size = 0; }
    const std::string& path() const override { return name; }

private:
    uint64_t size = 0;
    const std::string name = "/nonexistent/fuzz.mp4";
};

// The codec parameters a camera stream with this header comes with; none
// for a codec libavcodec does not know, which libavformat never reports.
AVCodecParameters* parameters_of(const stream_header_t& header)
{
    if (!avcodec_descriptor_get(static_cast<AVCodecID>(header.codec_id)))
        return nullptr;
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (!parameters)
        return nullptr;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = static_cast<AVCodecID>(header.codec_id);
    parameters->width = header.width;
    parameters->height = header.height;
    if (!header.extradata.empty()) {
        const size_t n = header.extradata.size();
        parameters->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (parameters->extradata) {
            std::copy(header.extradata.begin(), header.extradata.end(), parameters->extradata);
            parameters->extradata_size = int(n);
        }
    }
    return parameters;
}

// The packet a data block stands for; its payload is a padded copy, as
// libavformat's packets are.
AVPacket* packet_of(const stream_packet_t& in)
{
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, int(in.size)) < 0) {
        av_packet_free(&packet);
        return nullptr;
    }
    std::copy(in.payload, in.payload + in.size, packet->data);
    packet->pts = in.pts == stream_no_timestamp ? AV_NOPTS_VALUE : in.pts;
    packet->dts = in.dts == stream_no_timestamp ? AV_NOPTS_VALUE : in.dts;
    if (in.flags & stream_packet_key)
        packet->flags |= AV_PKT_FLAG_KEY;
    return packet;
}

void record(const stream_header_t& header, const std::vector<stream_fuzz_block_t>& blocks)
{
    AVCodecParameters* parameters = parameters_of(header);
    if (!parameters)
        return;
    const AVRational time_base{header.time_base_num, header.time_base_den};
    fmp4_writer_obj writer(std::make_unique<memory_output_t>());
    bool running = writer.stream_started(parameters, time_base);
    packet_fanout_obj fanout({64, 1 << 20});
    packet_queue_obj queue(nullptr, "fuzz viewer", {8, 256 * 1024});
    packet_queue_obj late(nullptr, "late fuzz viewer");
    live_fragmenter_obj live;
    live_fragmenter_obj late_live;
    fanout.subscribe(&queue);
    fanout.start({parameters, time_base});
    size_t n = 0;
    for (const stream_fuzz_block_t& block : blocks) {
        if (block.drop && running) {
            writer.stream_ended();
            running = writer.stream_started(parameters, time_base);
            fanout.end();
            fanout.start({parameters, time_base});
        }
        stream_packet_t in;
        if (!running || !read_packet(block.bytes, block.length, &in))
            continue;
        AVPacket* packet = packet_of(in);
        if (packet) {
            writer.write(packet);
            fanout.push({packet});
        }
        av_packet_free(&packet);
        // A reader that keeps up at times and falls behind at others.
        if (++n % 5 == 0 || block.length % 7 == 0)
            queue.drain(live);
        if (n == blocks.size() / 2)
            fanout.subscribe(&late);
        uint8_t sink[4096];
        while (live.take(sink, sizeof sink) > 0) {
        }
    }
    fanout.end();
    fanout.unsubscribe(&queue);
    fanout.unsubscribe(&late);
    queue.drain(live);
    late.drain(late_live);
    writer.finish();
    avcodec_parameters_free(&parameters);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    stream_fuzz_input_t input;
    if (!split_stream_fuzz_input(data, size, &input))
        return 0;
    stream_header_t header;
    if (!read_stream_header(input.header, input.header_length, &header))
        return 0;
    record(header, input.blocks);
    return 0;
}
