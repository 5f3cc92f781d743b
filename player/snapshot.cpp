// Snapshots for the web server: the source picture (player or demo
// drawing), the output size rules, the encode into snapshot_stream, and the
// cache of JPEGs of the current picture. Web server thread only; the demo
// drawing surface and the cache are used by no other thread.
#include "player/snapshot.h"

#include <FreeImage.h>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <vector>

#include "player/picture_bitmap.h"
#include "player/player.h"
#include "player/video_state.h"

ms_t snapshot_stream(snapshot_capacity);

namespace {

// Which picture a snapshot is made from, read under player_lock.
struct source_t {
    bool demo = false;      // the demo drawing rather than the player's picture
    int32_t port = -1;      // the player port (camera mode)
    uint64_t identity = 0;  // camera: the picture's serial; demo: the repaint period
    int32_t width = 0;      // source size (picture_width x picture_height)
    int32_t height = 0;

    bool operator==(const source_t&) const = default;
};

// One JPEG kept for reuse, with everything it was made from.
struct cache_entry_t {
    source_t source;        // the picture
    overlay_info_t info;    // what the demo overlay showed about the server
    int32_t width = 0;      // output size after the size rules
    int32_t height = 0;
    int32_t quality = 0;    // 1..100
    std::vector<uint8_t> jpeg;  // the encoded bytes
    uint64_t last_used = 0;     // use_clock at the last hit, for eviction
};

// Different sizes a page and its streams ask for at once; more than this
// many evict the least recently used.
constexpr size_t cache_size = 8;

std::vector<cache_entry_t> cache;  // JPEGs of the current picture
uint64_t use_clock = 0;            // counts cache uses
uint64_t encode_count = 0;         // JPEGs encoded since start
// Kept between snapshots while the window's size stays: allocating them
// anew for every picture costs more in page faults than drawing into them.
QImage demo_image;                 // the demo drawing
FIBITMAP* demo_picture = nullptr;  // the demo drawing as a 24-bit bitmap

bool same_info(const overlay_info_t& a, const overlay_info_t& b)
{
    return a.address == b.address && a.port == b.port && a.active == b.active && a.alpha == b.alpha;
}

// The picture of picture_width x picture_height a snapshot is made from;
// false when none can be had (no camera preview, no decoded picture).
bool read_source(source_t& source)
{
    source.width = picture_width;
    source.height = picture_height;
    player_lock.enter();
    source.demo = demo_mode_on;
    if (!source.demo) {
        source.port = player_port;
        source.identity = player_picture_serial(player_port);
    }
    player_lock.leave();
    if (source.demo) {
        source.identity = tick_count() / demo_repaint_ms;
        return true;
    }
    // preview_handle is the connection's, guarded by server_lock, which the
    // web server thread holds.
    return preview_handle >= 0 && source.identity != 0;
}

// The demo drawing at the source size: the window's fallback picture with
// the overlay, drawn here on the web server thread.
bool draw_demo(const source_t& source, const overlay_info_t& info)
{
    if (demo_image.width() != source.width || demo_image.height() != source.height)
        demo_image = QImage(source.width, source.height, QImage::Format_RGB32);
    // A failed allocation is tried again by the next call.
    if (demo_image.isNull())
        return false;
    QPainter canvas(&demo_image);
    fill_background(canvas, source.width, source.height);
    draw_info_overlay(canvas, source.width, source.height, info);
    return true;
}

// The bitmap of the demo drawing, kept while the size stays.
FIBITMAP* demo_of_size(int32_t width, int32_t height)
{
    if (demo_picture && int32_t(FreeImage_GetWidth(demo_picture)) == width &&
        int32_t(FreeImage_GetHeight(demo_picture)) == height)
        return demo_picture;
    unload_bitmap(demo_picture);
    demo_picture = allocate_picture(width, height);
    return demo_picture;
}

// The source picture at the output size, a bitmap the caller unloads. The
// camera's picture is scaled straight from the decoded frame; the demo
// drawing is made at the source size and rescaled.
FIBITMAP* output_picture(const source_t& source, const overlay_info_t& info, int32_t width,
                         int32_t height)
{
    if (source.demo) {
        FIBITMAP* drawing = demo_of_size(source.width, source.height);
        return drawing && draw_demo(source, info) && read_image(demo_image, drawing)
                   ? rescale_picture(drawing, width, height)
                   : nullptr;
    }
    FIBITMAP* picture = allocate_picture(width, height);
    if (picture && !read_player_picture(source.port, picture)) {
        unload_bitmap(picture);
        return nullptr;
    }
    return picture;
}

// Makes the JPEG into snapshot_stream.
bool encode(const source_t& source, const overlay_info_t& info, int32_t width, int32_t height,
            int32_t quality)
{
    FIBITMAP* picture = output_picture(source, info, width, height);
    const bool made = encode_jpeg(picture, quality, snapshot_stream);
    unload_bitmap(picture);
    if (made)
        ++encode_count;
    return made;
}

cache_entry_t* find_entry(const source_t& source, const overlay_info_t& info, int32_t width,
                          int32_t height, int32_t quality)
{
    for (cache_entry_t& entry : cache)
        if (entry.source == source && (!source.demo || same_info(entry.info, info)) &&
            entry.width == width && entry.height == height && entry.quality == quality)
            return &entry;
    return nullptr;
}

// Room for a new entry: JPEGs of an older picture can never be asked for
// again; beyond that the least recently used goes.
cache_entry_t& new_entry(const source_t& source)
{
    std::erase_if(cache, [&](const cache_entry_t& entry) { return !(entry.source == source); });
    if (cache.size() >= cache_size)
        cache.erase(std::min_element(cache.begin(), cache.end(), [](const auto& a, const auto& b) {
            return a.last_used < b.last_used;
        }));
    return cache.emplace_back();
}

}  // namespace

bool snapshot_size(int32_t source_width, int32_t source_height, bool keep_aspect, int32_t& width,
                   int32_t& height)
{
    if (source_width <= 0 || source_height <= 0 || source_width > snapshot_max_side ||
        source_height > snapshot_max_side)
        return false;
    width = std::max(width, snapshot_min_side);
    height = std::max(height, snapshot_min_side);
    if (width > snapshot_max_side || height > snapshot_max_side)
        return false;
    if (keep_aspect) {
        const double ratio = double(source_width) / double(source_height);
        if (double(width) / double(height) > ratio)
            width = static_cast<int32_t>(height * ratio);
        else
            height = static_cast<int32_t>(width / ratio);
    }
    // A very wide or tall source fitted into a small box can lose a side.
    return width >= 1 && height >= 1;
}

int32_t snapshot_quality(int32_t quality) { return std::clamp(quality, 1, 100); }

bool frame_to_jpeg(int32_t width, int32_t height, bool keep_aspect, int32_t quality,
                   const overlay_info_t& info)
{
    source_t source;
    if (!snapshot_size(picture_width, picture_height, keep_aspect, width, height) ||
        !read_source(source))
        return false;
    return encode(source, info, width, height, snapshot_quality(quality));
}

bool shared_jpeg(int32_t width, int32_t height, bool keep_aspect, int32_t quality,
                 const overlay_info_t& info, jpeg_view_t& jpeg)
{
    source_t source;
    if (!snapshot_size(picture_width, picture_height, keep_aspect, width, height) ||
        !read_source(source))
        return false;
    quality = snapshot_quality(quality);
    cache_entry_t* entry = find_entry(source, info, width, height, quality);
    if (!entry) {
        if (!encode(source, info, width, height, quality))
            return false;
        entry = &new_entry(source);
        entry->source = source;
        entry->info = info;
        entry->width = width;
        entry->height = height;
        entry->quality = quality;
        entry->jpeg.assign(snapshot_stream.data, snapshot_stream.data + snapshot_stream.length);
    }
    entry->last_used = ++use_clock;
    jpeg.data = entry->jpeg.data();
    jpeg.length = static_cast<int32_t>(entry->jpeg.size());
    return true;
}

uint64_t snapshot_encodes() { return encode_count; }

void clear_snapshot_cache() { cache.clear(); }
