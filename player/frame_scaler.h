// Internal to the player layer: a decoded picture converted by libswscale
// into packed rows of any size, blue first, top-down or bottom-up, with the
// picture's own colour space and range. One object serves one thread at a
// time; it keeps the contexts of the last few conversions it made, since a
// window and a few web sizes alternate and a new context costs more than a
// conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVFrame;
struct SwsContext;

enum class packed_layout_t { bgra, bgr };
// How a resize weighs the pixels: bicubic for the pictures that leave the
// program (snapshots, photos); area, a box average that costs little more
// than half as much, for the window, which converts every picture.
enum class scale_filter_t { bicubic, area };

// Room past the last row that scale_padded may write into.
constexpr size_t scale_padding = 256;

class frame_scaler_t {
public:
    frame_scaler_t() = default;
    ~frame_scaler_t();
    frame_scaler_t(const frame_scaler_t&) = delete;
    frame_scaler_t& operator=(const frame_scaler_t&) = delete;

    // Writes in as width x height rows of layout, stride bytes apart, the
    // top row at top_row; a negative stride stores the picture bottom-up.
    // A size other than the picture's is scaled with the bicubic filter.
    bool scale(const AVFrame* in, int32_t width, int32_t height, packed_layout_t layout,
               uint8_t* top_row, int32_t stride);
    // The same without a copy, for top-down rows (stride at least a row) with
    // scale_padding bytes of room after the last row: the library's vector
    // code writes whole blocks of pixels, past the end of a row.
    bool scale_padded(const AVFrame* in, int32_t width, int32_t height, packed_layout_t layout,
                      uint8_t* rows, int32_t stride,
                      scale_filter_t filter = scale_filter_t::bicubic);

    // Memory kept between calls for the conversions last made.
    size_t kept_bytes() const;

private:
    // What a conversion is made for; equal keys share the contexts.
    struct key_t {
        int32_t in_width = 0, in_height = 0, in_format = -1;
        int32_t colorspace = 0;
        bool full_range = false;
        int32_t out_width = 0, out_height = 0;
        packed_layout_t layout = packed_layout_t::bgra;
        scale_filter_t filter = scale_filter_t::bicubic;
        bool operator==(const key_t&) const = default;
    };
    // A resize keeps the picture's own planar format and packs the small
    // result after: the library's vector code covers planar scaling, while
    // scaling straight into packed pixels runs its plain C path.
    struct context_t {
        key_t key;
        SwsContext* resize = nullptr;  // to the output size, planar; null at the same size
        AVFrame* middle = nullptr;     // the resized planes
        SwsContext* pack = nullptr;    // to packed pixels at the output size
        uint64_t last_used = 0;
    };
    context_t* context_for(const AVFrame* in, int32_t width, int32_t height, packed_layout_t layout,
                           scale_filter_t filter);
    static bool set_up(context_t& c);
    static void release(context_t& c);

    static constexpr int context_count = 4;
    context_t contexts[context_count];
    std::vector<uint8_t> scratch;  // padded rows that scale copies from
    uint64_t uses = 0;
};

// The calling thread's scaler, for readers of pictures (GUI, web server).
frame_scaler_t& thread_scaler();
