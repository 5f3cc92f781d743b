// The player layer's entry points: a table of numbered ports, each free,
// taken, or holding an open stream. Called on the camera layer's thread
// (stream open and data), the GUI thread and the web server thread; the
// table lock is held only to look a port up or change its state, never while
// a decode thread is started, stopped or a picture is drawn.
#include "player/player.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "player/ff_log.h"
#include "player/frame_scaler.h"
#include "player/picture_demand.h"
#include "player/player_stream.h"

#include "player/little_endian.h"

namespace {

// More ports than the program ever opens at once (it uses one).
constexpr int32_t port_count = 16;

enum class port_state_t { free, taken, open };

struct port_slot_t {
    port_state_t state = port_state_t::free;     // where the port is in its life
    std::shared_ptr<player_stream_obj> stream;   // the open stream, when open
};

std::mutex ports_mutex;           // guards ports
port_slot_t ports[port_count];    // the ports by number

bool valid(int32_t port) { return port >= 0 && port < port_count; }

std::shared_ptr<player_stream_obj> stream_of(int32_t port)
{
    if (!valid(port))
        return nullptr;
    std::lock_guard<std::mutex> lock(ports_mutex);
    return ports[port].stream;
}

// Tells every open stream that the demand for pictures started or ended.
void tell_streams()
{
    std::shared_ptr<player_stream_obj> streams[port_count];
    {
        std::lock_guard<std::mutex> lock(ports_mutex);
        for (int32_t i = 0; i < port_count; i++)
            streams[i] = ports[i].stream;
    }
    for (auto& stream : streams)
        if (stream)
            stream->demand_changed();
}

// Takes the open stream away from the port; the caller stops it.
std::shared_ptr<player_stream_obj> detach_stream(int32_t port, port_state_t next)
{
    std::lock_guard<std::mutex> lock(ports_mutex);
    std::shared_ptr<player_stream_obj> stream = std::move(ports[port].stream);
    if (ports[port].state != port_state_t::free)
        ports[port].state = next;
    return stream;
}

// The file header and the 40-byte info header of a 32-bit bottom-up bitmap.
void write_bmp_header(uint8_t* p, int32_t width, int32_t height, uint32_t image_bytes)
{
    std::memset(p, 0, player_bmp_header_size);
    p[0] = 'B';
    p[1] = 'M';
    put_u32(p + 2, player_bmp_header_size + image_bytes);
    put_u32(p + 10, player_bmp_header_size);
    put_u32(p + 14, 40);
    put_u32(p + 18, uint32_t(width));
    put_u32(p + 22, uint32_t(height));  // positive: bottom row first
    put_u16(p + 26, 1);                 // planes
    put_u16(p + 28, 32);                // bits per pixel
    put_u32(p + 34, image_bytes);
}

// Writes picture as bottom-up rows (the bottom row at rows), the layout of
// a device-independent bitmap.
bool scale_bottom_up(const picture_t& picture, int32_t width, int32_t height,
                     packed_layout_t layout, uint8_t* rows, int32_t stride)
{
    uint8_t* top_row = rows + size_t(height - 1) * size_t(stride);
    return thread_scaler().scale(picture.frame, width, height, layout, top_row, -stride);
}

}  // namespace

bool player_get_port(int32_t* port)
{
    if (!port)
        return false;
    std::lock_guard<std::mutex> lock(ports_mutex);
    for (int32_t i = 0; i < port_count; i++) {
        if (ports[i].state == port_state_t::free) {
            ports[i].state = port_state_t::taken;
            *port = i;
            return true;
        }
    }
    return false;
}

// Mode 0, live stream, is the one mode: data is decoded as it comes, while
// someone looks.
bool player_set_stream_mode(int32_t port, uint32_t mode)
{
    if (!valid(port) || mode != 0)
        return false;
    std::lock_guard<std::mutex> lock(ports_mutex);
    return ports[port].state == port_state_t::taken;
}

bool player_open_stream(int32_t port, const uint8_t* header, uint32_t header_length,
                        uint32_t buffer_size)
{
    stream_header_t parsed;
    if (!valid(port) || !read_stream_header(header, header_length, &parsed))
        return false;
    ff_log_install();
    auto stream = std::make_shared<player_stream_obj>(port, buffer_size);
    if (!stream->open(parsed))
        return false;
    std::lock_guard<std::mutex> lock(ports_mutex);
    if (ports[port].state != port_state_t::taken)
        return false;
    ports[port].state = port_state_t::open;
    ports[port].stream = std::move(stream);
    return true;
}

bool player_play(int32_t port, video_surface_t* surface)
{
    auto stream = stream_of(port);
    return stream && stream->play(surface);
}

bool player_input_data(int32_t port, const uint8_t* bytes, uint32_t length)
{
    auto stream = stream_of(port);
    return stream && stream->input(bytes, length);
}

bool player_input_packets(int32_t port, const std::shared_ptr<packet_fanout_obj>& packets)
{
    auto stream = stream_of(port);
    return stream && stream->use_packets(packets);
}

std::shared_ptr<packet_fanout_obj> player_packets(int32_t port)
{
    auto stream = stream_of(port);
    return stream ? stream->packets() : nullptr;
}

bool player_stop(int32_t port)
{
    auto stream = stream_of(port);
    if (!stream)
        return false;
    stream->stop();
    return true;
}

bool player_close_stream(int32_t port)
{
    if (!valid(port))
        return false;
    auto stream = detach_stream(port, port_state_t::taken);
    if (!stream)
        return false;
    stream->stop();
    return true;
}

bool player_free_port(int32_t port)
{
    if (!valid(port))
        return false;
    // The decode thread ends before the number can be handed out again.
    auto stream = detach_stream(port, port_state_t::taken);
    if (stream)
        stream->stop();
    std::lock_guard<std::mutex> lock(ports_mutex);
    const bool was_taken = ports[port].state != port_state_t::free;
    ports[port].state = port_state_t::free;
    return was_taken;
}

uint32_t player_has_picture(int32_t port)
{
    auto stream = stream_of(port);
    return stream && stream->picture() ? 1 : 0;
}

bool player_refresh(int32_t port)
{
    auto stream = stream_of(port);
    return stream && stream->refresh();
}

bool player_get_picture_size(int32_t port, int32_t* width, int32_t* height)
{
    auto stream = stream_of(port);
    auto picture = stream ? stream->picture() : nullptr;
    if (!picture || !width || !height)
        return false;
    *width = picture->width;
    *height = picture->height;
    return true;
}

bool player_get_bmp(int32_t port, uint8_t* buffer, uint32_t buffer_size, uint32_t* written)
{
    auto stream = stream_of(port);
    auto picture = stream ? stream->picture() : nullptr;
    if (!picture || !buffer)
        return false;
    const uint64_t row = uint64_t(picture->width) * 4;
    const uint64_t image = row * uint64_t(picture->height);
    if (player_bmp_header_size + image > buffer_size)
        return false;
    write_bmp_header(buffer, picture->width, picture->height, uint32_t(image));
    if (!scale_bottom_up(*picture, picture->width, picture->height, packed_layout_t::bgra,
                         buffer + player_bmp_header_size, int32_t(row)))
        return false;
    if (written)
        *written = uint32_t(player_bmp_header_size + image);
    return true;
}

bool player_get_scaled_dib(int32_t port, int32_t width, int32_t height, uint8_t* rows,
                           int32_t stride)
{
    auto stream = stream_of(port);
    auto picture = stream ? stream->picture() : nullptr;
    if (!picture || !rows || width < 1 || height < 1 || stride < 1 ||
        int64_t(stride) < int64_t(width) * 3)
        return false;
    return scale_bottom_up(*picture, width, height, packed_layout_t::bgr, rows, stride);
}

uint64_t player_picture_serial(int32_t port)
{
    auto stream = stream_of(port);
    auto picture = stream ? stream->picture() : nullptr;
    return picture ? picture->serial : 0;
}

bool player_hold_pictures(bool on)
{
    demand_hold(on);
    tell_streams();
    return true;
}

bool player_want_pictures(uint32_t linger_ms)
{
    if (demand_want(linger_ms))
        tell_streams();
    return true;
}

bool player_wait_picture(int32_t port, uint32_t timeout_ms)
{
    auto stream = stream_of(port);
    return stream && stream->wait_picture(timeout_ms);
}

uint64_t player_decoded_pictures() { return pictures_decoded(); }
