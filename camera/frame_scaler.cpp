// Conversions of decoded pictures into packed BGRA or BGR rows.
#include "camera/frame_scaler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

// The encoding a picture's colours are in: cameras mark HD streams BT.709;
// anything unmarked is taken as BT.601, as decoders and players do.
int32_t colorspace_of(const AVFrame* in)
{
    return in->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
}

int32_t bytes_per_pixel(packed_layout_t layout) { return layout == packed_layout_t::bgra ? 4 : 3; }

}  // namespace

frame_scaler_t::~frame_scaler_t()
{
    for (context_t& c : contexts)
        sws_freeContext(c.sws);
}

frame_scaler_t::context_t* frame_scaler_t::context_for(const AVFrame* in, int32_t width,
                                                       int32_t height, packed_layout_t layout)
{
    const bool full_range = in->color_range == AVCOL_RANGE_JPEG;
    const int32_t colorspace = colorspace_of(in);
    auto same = [&](const context_t& c) {
        return c.sws && c.in_width == in->width && c.in_height == in->height &&
               c.in_format == in->format && c.colorspace == colorspace &&
               c.full_range == full_range && c.out_width == width && c.out_height == height &&
               c.layout == layout;
    };
    context_t* c = std::find_if(std::begin(contexts), std::end(contexts), same);
    if (c == std::end(contexts)) {
        c = std::min_element(std::begin(contexts), std::end(contexts),
                             [](const context_t& a, const context_t& b) { return a.last_used < b.last_used; });
        sws_freeContext(c->sws);
        *c = context_t{};
        // Same size converts only the colours; bilinear is then enough for
        // the chroma planes.
        const bool resize = width != in->width || height != in->height;
        c->sws = sws_getContext(in->width, in->height, AVPixelFormat(in->format), width, height,
                                layout == packed_layout_t::bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24,
                                resize ? SWS_BICUBIC : SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!c->sws)
            return nullptr;
        sws_setColorspaceDetails(c->sws, sws_getCoefficients(colorspace), full_range,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        c->in_width = in->width;
        c->in_height = in->height;
        c->in_format = in->format;
        c->colorspace = colorspace;
        c->full_range = full_range;
        c->out_width = width;
        c->out_height = height;
        c->layout = layout;
    }
    c->last_used = ++uses;
    return c;
}

bool frame_scaler_t::scale_padded(const AVFrame* in, int32_t width, int32_t height,
                                  packed_layout_t layout, uint8_t* rows, int32_t stride)
{
    if (!in || !rows || width < 1 || height < 1 || in->width < 1 || in->height < 1 ||
        stride < width * bytes_per_pixel(layout))
        return false;
    context_t* c = context_for(in, width, height, layout);
    if (!c)
        return false;
    uint8_t* planes[4] = {rows, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    return sws_scale(c->sws, in->data, in->linesize, 0, in->height, planes, strides) == height;
}

bool frame_scaler_t::scale(const AVFrame* in, int32_t width, int32_t height,
                           packed_layout_t layout, uint8_t* top_row, int32_t stride)
{
    const size_t row = size_t(width) * size_t(bytes_per_pixel(layout));
    if (!top_row || width < 1 || height < 1 || size_t(std::abs(int64_t(stride))) < row)
        return false;
    // Rows of the scratch start 32-byte aligned, as the vector code likes.
    const size_t padded_row = (row + 31) & ~size_t(31);
    scratch.resize(padded_row * size_t(height) + scale_padding);
    if (!scale_padded(in, width, height, layout, scratch.data(), int32_t(padded_row)))
        return false;
    for (int32_t y = 0; y < height; ++y)
        std::memcpy(top_row + ptrdiff_t(y) * stride, scratch.data() + size_t(y) * padded_row, row);
    return true;
}

frame_scaler_t& thread_scaler()
{
    thread_local frame_scaler_t scaler;
    return scaler;
}
