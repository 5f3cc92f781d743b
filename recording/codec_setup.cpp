// Parameter sets through libavcodec's extract_extradata filter, the picture
// size through the codec's parser, which reads the sequence parameters.
#include "recording/codec_setup.h"

#include <cstring>

extern "C" {
#include <libavcodec/bsf.h>
}

namespace {

void take_extradata(AVCodecParameters* parameters, const AVPacket* key)
{
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* bsf = nullptr;
    AVPacket* packet = av_packet_clone(key);
    if (filter && packet && av_bsf_alloc(filter, &bsf) == 0 &&
        avcodec_parameters_copy(bsf->par_in, parameters) >= 0 && av_bsf_init(bsf) == 0 &&
        av_bsf_send_packet(bsf, packet) == 0 && av_bsf_receive_packet(bsf, packet) == 0) {
        size_t size = 0;
        const uint8_t* data = av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &size);
        auto* copy = data && size > 0 && size < (1u << 20)
                         ? static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE))
                         : nullptr;
        if (copy) {
            std::memcpy(copy, data, size);
            av_freep(&parameters->extradata);
            parameters->extradata = copy;
            parameters->extradata_size = int(size);
        }
    }
    av_packet_free(&packet);
    av_bsf_free(&bsf);
}

void read_picture_size(AVCodecParameters* parameters, const AVPacket* key)
{
    AVCodecParserContext* parser = av_parser_init(int(parameters->codec_id));
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    if (parser && context && avcodec_parameters_to_context(context, parameters) >= 0) {
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        uint8_t* out = nullptr;
        int out_size = 0;
        av_parser_parse2(parser, context, &out, &out_size, key->data, key->size, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (parser->width > 0 && parser->height > 0) {
            parameters->width = parser->width;
            parameters->height = parser->height;
        }
    }
    av_parser_close(parser);
    avcodec_free_context(&context);
}

}  // namespace

bool complete_codec_parameters(AVCodecParameters* parameters, const AVPacket* key)
{
    if (parameters->extradata_size <= 0)
        take_extradata(parameters, key);
    if (parameters->width <= 0 || parameters->height <= 0)
        read_picture_size(parameters, key);
    return parameters->width > 0 && parameters->height > 0;
}
