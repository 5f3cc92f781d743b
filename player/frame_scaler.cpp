// Conversions of decoded pictures into packed BGRA or BGR rows.
#include "player/frame_scaler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

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

// Conversions to more pixels than this give their memory back when done: a
// rare or hostile request for a huge picture must not keep hundreds of
// megabytes for the life of the program.
constexpr int64_t kept_pixels = 2048LL * 2048;

int32_t bytes_per_pixel(packed_layout_t layout) { return layout == packed_layout_t::bgra ? 4 : 3; }

}  // namespace

frame_scaler_t::~frame_scaler_t()
{
    for (context_t& c : contexts)
        release(c);
}

void frame_scaler_t::release(context_t& c)
{
    sws_freeContext(c.resize);
    sws_freeContext(c.pack);
    av_frame_free(&c.middle);
    c = context_t{};
}

// Makes the contexts of c.key; false when the library cannot convert.
bool frame_scaler_t::set_up(context_t& c)
{
    const key_t& k = c.key;
    AVPixelFormat from = AVPixelFormat(k.in_format);
    if (k.out_width != k.in_width || k.out_height != k.in_height) {
        const AVPixelFormat planar = sws_isSupportedOutput(from) ? from : AV_PIX_FMT_YUV420P;
        c.resize = sws_getContext(k.in_width, k.in_height, from, k.out_width, k.out_height, planar,
                                  k.filter == scale_filter_t::area ? SWS_AREA : SWS_BICUBIC,
                                  nullptr, nullptr, nullptr);
        c.middle = av_frame_alloc();
        if (!c.resize || !c.middle)
            return false;
        c.middle->format = planar;
        c.middle->width = k.out_width;
        c.middle->height = k.out_height;
        if (av_frame_get_buffer(c.middle, 0) < 0)
            return false;
        from = planar;
    }
    // Same size converts only the colours; bilinear is enough for the
    // chroma planes.
    c.pack = sws_getContext(k.out_width, k.out_height, from, k.out_width, k.out_height,
                            k.layout == packed_layout_t::bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24,
                            SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!c.pack)
        return false;
    sws_setColorspaceDetails(c.pack, sws_getCoefficients(k.colorspace), k.full_range,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    return true;
}

frame_scaler_t::context_t* frame_scaler_t::context_for(const AVFrame* in, int32_t width,
                                                       int32_t height, packed_layout_t layout,
                                                       scale_filter_t filter)
{
    const key_t key{in->width, in->height,   in->format, colorspace_of(in),
                    in->color_range == AVCOL_RANGE_JPEG, width, height, layout, filter};
    context_t* c = std::find_if(std::begin(contexts), std::end(contexts),
                                [&](const context_t& c) { return c.pack && c.key == key; });
    if (c == std::end(contexts)) {
        c = std::min_element(std::begin(contexts), std::end(contexts),
                             [](const context_t& a, const context_t& b) { return a.last_used < b.last_used; });
        release(*c);
        c->key = key;
        if (!set_up(*c)) {
            release(*c);
            return nullptr;
        }
    }
    c->last_used = ++uses;
    return c;
}

bool frame_scaler_t::scale_padded(const AVFrame* in, int32_t width, int32_t height,
                                  packed_layout_t layout, uint8_t* rows, int32_t stride,
                                  scale_filter_t filter)
{
    if (!in || !rows || width < 1 || height < 1 || in->width < 1 || in->height < 1 ||
        stride < width * bytes_per_pixel(layout))
        return false;
    context_t* c = context_for(in, width, height, layout, filter);
    if (!c)
        return false;
    const AVFrame* planes = in;
    if (c->resize) {
        if (sws_scale(c->resize, in->data, in->linesize, 0, in->height, c->middle->data,
                      c->middle->linesize) != height)
            return false;
        planes = c->middle;
    }
    uint8_t* out[4] = {rows, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    const bool made = sws_scale(c->pack, planes->data, planes->linesize, 0, height, out, strides) == height;
    if (c->middle && int64_t(width) * height > kept_pixels)
        release(*c);
    return made;
}

bool frame_scaler_t::scale(const AVFrame* in, int32_t width, int32_t height,
                           packed_layout_t layout, uint8_t* top_row, int32_t stride)
{
    const size_t row = size_t(width) * size_t(bytes_per_pixel(layout));
    if (!top_row || width < 1 || height < 1 || size_t(std::abs(int64_t(stride))) < row)
        return false;
    // Rows of the scratch start 32-byte aligned, as the vector code likes.
    const size_t padded_row = (row + 31) & ~size_t(31);
    try {
        scratch.resize(padded_row * size_t(height) + scale_padding);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const bool made = scale_padded(in, width, height, layout, scratch.data(), int32_t(padded_row));
    for (int32_t y = 0; made && y < height; ++y)
        std::memcpy(top_row + ptrdiff_t(y) * stride, scratch.data() + size_t(y) * padded_row, row);
    if (scratch.size() > size_t(kept_pixels) * 4)
        std::vector<uint8_t>().swap(scratch);
    return made;
}

size_t frame_scaler_t::kept_bytes() const
{
    size_t bytes = scratch.capacity();
    for (const context_t& c : contexts)
        if (c.middle)
            for (AVBufferRef* plane : c.middle->buf)
                bytes += plane ? plane->size : 0;
    return bytes;
}

frame_scaler_t& thread_scaler()
{
    thread_local frame_scaler_t scaler;
    return scaler;
}
