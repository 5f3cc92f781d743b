// Player pictures and demo drawings as FreeImage bitmaps, their bicubic
// rescale and their JPEG encoding into an ms_t or a file. Stateless; called
// on the web server thread and on the GUI thread.
#include "player/picture_bitmap.h"

#include <FreeImage.h>
#include <QImage>

#include <cstdio>
#include <string>

#include "player/ms_t.h"
#include "player/player.h"

namespace {

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

FIBITMAP* allocate_picture(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    FIBITMAP* bitmap = FreeImage_Allocate(width, height, 24);
    if (bitmap) {
        BITMAPINFOHEADER* info = FreeImage_GetInfoHeader(bitmap);
        info->biClrUsed = 0;
        info->biClrImportant = 0;
    }
    return bitmap;
}

bool read_player_picture(int32_t port, FIBITMAP* picture)
{
    static_assert(FI_RGBA_BLUE == 0 && FI_RGBA_GREEN == 1 && FI_RGBA_RED == 2,
                  "24-bit bitmaps are blue, green, red in memory");
    if (!picture || FreeImage_GetBPP(picture) != 24)
        return false;
    // Not under player_lock, which only keeps the port number from changing
    // under its readers: the port was read under it, the player keeps the
    // picture alive while it is scaled (a port closed meanwhile just fails),
    // and a large picture takes long enough to stall the window's paint.
    return player_get_scaled_dib(port, int32_t(FreeImage_GetWidth(picture)),
                                 int32_t(FreeImage_GetHeight(picture)), FreeImage_GetBits(picture),
                                 int32_t(FreeImage_GetPitch(picture)));
}

bool read_image(const QImage& image, FIBITMAP* picture)
{
    if (!picture || image.format() != QImage::Format_RGB32 ||
        image.width() != int(FreeImage_GetWidth(picture)) ||
        image.height() != int(FreeImage_GetHeight(picture)))
        return false;
    const int32_t height = image.height();
    // QImage keeps the top row first; RGB32 is blue, green, red, unused in
    // memory on a little-endian machine.
    copy_bgra_rows(picture, image.width(), height,
                   [&](int32_t i) { return image.constScanLine(height - 1 - i); });
    return true;
}

FIBITMAP* rescale_picture(FIBITMAP* source, int32_t width, int32_t height)
{
    if (!source || width < 1 || height < 1)
        return nullptr;
    return FreeImage_Rescale(source, width, height, FILTER_BICUBIC);
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
    // The sink drops what does not fit and lets the encoder finish; its flag
    // tells that the JPEG is incomplete.
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
