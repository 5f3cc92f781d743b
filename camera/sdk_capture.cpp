// The camera SDK layer's photo: sdk_capture_jpeg writes the current picture
// of a login's live preview as a JPEG file at the resolution and quality the
// jpeg_params codes select. Called on the GUI thread, which is the thread
// that makes and ends the camera connection (login_handle, preview_handle).
#include "camera/sdk.h"
#include "camera/sdk_preview.h"

#include "player/picture_bitmap.h"
#include "player/player.h"
#include "player/video_state.h"
#include "settings/log.h"

namespace {

struct photo_size_t {
    int32_t width;
    int32_t height;
};

// By img_size code. Names without a size are the usual video formats: CIF
// 352x288, QCIF 176x144, D1 704x576 (PAL), VGA 640x480, XVGA 1280x960,
// HD900p 1600x900, HD1080 and 1080i 1920x1080; WD1 is its PAL form 960x576.
constexpr photo_size_t photo_sizes[] = {
    {352, 288},   {176, 144},   {704, 576},   {1600, 1200}, {800, 600},
    {1280, 720},  {640, 480},   {1280, 960},  {1600, 900},  {1920, 1080},
    {2560, 1920}, {1600, 304},  {2048, 1536}, {2448, 2048}, {2448, 1200},
    {2448, 800},  {1024, 768},  {1280, 1024}, {960, 576},   {1920, 1080},
};

// JPEG quality by img_quality code: best, better, average.
constexpr int32_t photo_qualities[] = {95, 85, 70};

// The player port a login's photo is taken from: the program holds one
// camera connection, whose login_handle started preview_handle, whose
// stream header opened player_port.
bool preview_port_of_login(int32_t login, int32_t& port)
{
    if (login < 0 || login != login_handle || preview_handle < 0)
        return false;
    mt_guard_t guard(player_lock);
    port = player_port;
    return port >= 0;
}

}  // namespace

// The channel is not looked at: a login previews one channel, and the photo
// is of that preview's picture.
bool sdk_capture_jpeg(int32_t login, int32_t, const jpeg_params_t* params, const char* path)
{
    if (!params || !path || !*path)
        return false;
    if (params->img_size >= std::size(photo_sizes) || params->img_quality >= std::size(photo_qualities)) {
        log_print("%s camera: photo size %u or quality %u is not known\n", utc_timestamp().c_str(),
                  unsigned(params->img_size), unsigned(params->img_quality));
        return false;
    }
    int32_t port = -1;
    if (!preview_port_of_login(login, port))
        return false;
    // Without a consumer the player decodes nothing: the photo's picture is
    // decoded from the last key frame first, which takes a moment.
    player_want_pictures(player_linger_ms);
    if (!player_wait_picture(port, sdk_connect_limits().wait_ms))
        return false;
    const photo_size_t size = photo_sizes[params->img_size];
    FIBITMAP* photo = allocate_picture(size.width, size.height);
    const bool saved = read_player_picture(port, photo) &&
                       save_jpeg_file(photo, photo_qualities[params->img_quality], path);
    unload_bitmap(photo);
    return saved;
}
