// Makes a seed for the stream fuzzer from a video file: its stream header
// and its first packets, framed as the fuzzer reads them, as the camera
// layer would have handed them on. Usage: stream_seed IN OUT [PACKETS]
// [DROP_AT]; DROP_AT marks the packet before which the connection drops.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "player/stream_format.h"
#include "tests/fuzz/stream_fuzz_input.h"

namespace {

stream_header_t header_of(const AVStream* stream)
{
    const AVCodecParameters* par = stream->codecpar;
    stream_header_t header;
    header.codec_id = uint32_t(par->codec_id);
    header.width = par->width;
    header.height = par->height;
    header.time_base_num = stream->time_base.num;
    header.time_base_den = stream->time_base.den;
    header.frame_rate_num = stream->avg_frame_rate.num;
    header.frame_rate_den = stream->avg_frame_rate.den;
    if (par->extradata && par->extradata_size > 0)
        header.extradata.assign(par->extradata, par->extradata + par->extradata_size);
    return header;
}

void append_block(std::vector<uint8_t>& out, const AVPacket* packet, bool drop)
{
    std::vector<uint8_t> block(stream_packet_header_size + size_t(packet->size));
    const auto time = [](int64_t t) { return t == AV_NOPTS_VALUE ? stream_no_timestamp : t; };
    write_packet_header(block.data(), time(packet->pts), time(packet->dts),
                        (packet->flags & AV_PKT_FLAG_KEY) ? stream_packet_key : 0,
                        uint32_t(packet->size));
    std::copy(packet->data, packet->data + packet->size, block.begin() + stream_packet_header_size);
    out.push_back(drop ? 1 : 0);
    stream_fuzz_put_u32(out, uint32_t(block.size()));
    out.insert(out.end(), block.begin(), block.end());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: stream_seed IN OUT [PACKETS] [DROP_AT]\n");
        return 2;
    }
    const int packets = argc > 3 ? std::atoi(argv[3]) : 12;
    const int drop_at = argc > 4 ? std::atoi(argv[4]) : -1;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, argv[1], nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        std::fprintf(stderr, "stream_seed: cannot read %s\n", argv[1]);
        return 1;
    }
    const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0)
        return 1;
    std::vector<uint8_t> out;
    const std::vector<uint8_t> header = write_stream_header(header_of(format->streams[video]));
    stream_fuzz_put_u32(out, uint32_t(header.size()));
    out.insert(out.end(), header.begin(), header.end());
    AVPacket* packet = av_packet_alloc();
    for (int n = 0; n < packets && av_read_frame(format, packet) >= 0; av_packet_unref(packet)) {
        if (packet->stream_index == video)
            append_block(out, packet, n++ == drop_at);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                   std::streamsize(out.size()));
    return 0;
}
