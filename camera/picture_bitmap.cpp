// Player pictures and demo drawings as FreeImage bitmaps, their bicubic
// rescale and their JPEG encoding into an ms_t or a file. Stateless; called
// on the web server thread and on the GUI thread.
#include "camera/picture_bitmap.h"

#include <FreeImage.h>
#include <QImage>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "camera/ms_t.h"
#include "camera/player.h"
#include "camera/video_state.h"

namespace {

uint32_t get_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A 24-bit bitmap without a colour table in use.
FIBITMAP* allocate_24(int32_t width, int32_t height)
{
    FIBITMAP* bitmap = FreeImage_Allocate(width, height, 24);
    if (bitmap) {
        BITMAPINFOHEADER* info = FreeImage_GetInfoHeader(bitmap);
        info->biClrUsed = 0;
        info->biClrImportant = 0;
    }
    return bitmap;
}

// Copies 4-byte pixels (blue, green, red, unused) into the bitmap's 24-bit
// rows; row(i) gives the source row that becomes the bitmap's stored row i
// (FreeImage keeps the bottom row first).
template <typename row_of>
void copy_bgra_rows(FIBITMAP* bitmap, int32_t width, int32_t height, row_of row)
{
    for (int32_t i = 0; i < height; ++i) {
        const uint8_t* from = row(i);
        BYTE* to = FreeImage_GetScanLine(bitmap, i);
        for (int32_t x = 0; x < width; ++x, from += 4, to += 3) {
            to[FI_RGBA_BLUE] = from[0];
            to[FI_RGBA_GREEN] = from[1];
            to[FI_RGBA_RED] = from[2];
        }
    }
}

unsigned DLL_CALLCONV sink_write(void* buffer, unsigned size, unsigned count, fi_handle handle)
{
    return static_cast<ms_t*>(handle)->write(buffer, size, count);
}

int DLL_CALLCONV sink_seek(fi_handle handle, long offset, int origin)
{
    return static_cast<ms_t*>(handle)->seek(offset, origin);
}

long DLL_CALLCONV sink_tell(fi_handle handle) { return static_cast<long>(static_cast<ms_t*>(handle)->tell()); }

// FreeImage reads the low bits of its flags as the quality; anything else
// there selects other options, so only 1..100 is ever passed.
int quality_flags(int32_t quality) { return quality < 1 ? 1 : quality > 100 ? 100 : quality; }

}  // namespace

FIBITMAP* bitmap_from_player(int32_t port, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    const uint64_t size = uint64_t(width) * uint64_t(height) * 4 + player_bmp_header_size;
    if (size > UINT32_MAX)
        return nullptr;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer)
        return nullptr;
    uint32_t written = 0;
    player_lock.enter();
    const bool got = player_get_bmp(port, buffer.get(), uint32_t(size), &written);
    player_lock.leave();
    // The picture may have changed its size since it was measured; rows of
    // another width would be read as garbage.
    if (!got || written != size || get_u32(buffer.get() + 18) != uint32_t(width) ||
        get_u32(buffer.get() + 22) != uint32_t(height))
        return nullptr;
    FIBITMAP* bitmap = allocate_24(width, height);
    if (!bitmap)
        return nullptr;
    const uint8_t* rows = buffer.get() + player_bmp_header_size;
    copy_bgra_rows(bitmap, width, height,
                   [&](int32_t i) { return rows + size_t(i) * size_t(width) * 4; });
    return bitmap;
}

FIBITMAP* bitmap_from_image(const QImage& image)
{
    const QImage rgb32 = image.format() == QImage::Format_RGB32 ? image
                                                                 : image.convertToFormat(QImage::Format_RGB32);
    const int32_t width = rgb32.width();
    const int32_t height = rgb32.height();
    if (width <= 0 || height <= 0)
        return nullptr;
    FIBITMAP* bitmap = allocate_24(width, height);
    if (!bitmap)
        return nullptr;
    // QImage keeps the top row first; RGB32 is blue, green, red, unused in
    // memory on a little-endian machine.
    copy_bgra_rows(bitmap, width, height,
                   [&](int32_t i) { return rgb32.constScanLine(height - 1 - i); });
    return bitmap;
}

FIBITMAP* rescale_bitmap(FIBITMAP* source, int32_t width, int32_t height)
{
    FIBITMAP* scaled = nullptr;
    if (source && width >= 1 && height >= 1)
        scaled = FreeImage_Rescale(source, width, height, FILTER_BICUBIC);
    unload_bitmap(source);
    return scaled;
}

void unload_bitmap(FIBITMAP* bitmap)
{
    if (bitmap)
        FreeImage_Unload(bitmap);
}

bool encode_jpeg(FIBITMAP* bitmap, int32_t quality, ms_t& sink)
{
    sink.reset();
    if (!bitmap || !sink.data)
        return false;
    FreeImageIO io{nullptr, sink_write, sink_seek, sink_tell};
    const bool saved = FreeImage_SaveToHandle(FIF_JPEG, bitmap, &io, &sink, quality_flags(quality));
    // A refused write may not fail the encoder everywhere it happens: the
    // stream's own flag decides.
    return saved && !sink.refused && sink.length > 0;
}

bool save_jpeg_file(FIBITMAP* bitmap, int32_t quality, const char* path)
{
    if (!bitmap || !path || !*path)
        return false;
    // Written beside its final name and renamed when whole: a failure never
    // leaves half a photo, nor removes an earlier photo of the same name.
    const std::string part = std::string(path) + ".part";
    if (FreeImage_Save(FIF_JPEG, bitmap, part.c_str(), quality_flags(quality)) &&
        std::rename(part.c_str(), path) == 0)
        return true;
    std::remove(part.c_str());
    return false;
}
