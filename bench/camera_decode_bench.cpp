// Benchmark driver: CPU time per second of a live camera stream taken in
// through the camera SDK layer, first only received (for the synthetic
// camera that includes its encoder), then also decoded and converted to BGRA
// by the player, as for drawing. Optionally writes the received H.264 as a
// raw Annex B file so that other decoders can be measured on the same bytes.
// Runs on its main thread plus the layers' own threads.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "camera/sdk.h"
#include "player/player.h"
#include "player/stream_format.h"

namespace {

// What the stream callback does in the current phase.
struct bench_state_t {
    bool decode = false;                 // hand the stream to a player port
    int32_t port = -1;                   // that port
    FILE* dump = nullptr;                // raw H.264 output, or null
    std::atomic<uint64_t> packets{0};    // data blocks received
};

bench_state_t state;

// Stands for a window: the player converts every picture to BGRA for a
// surface; this one is never asked to draw.
class idle_surface_t : public video_surface_t {
public:
    void picture_ready(int32_t) override {}
    void draw_picture(const uint8_t*, int32_t, int32_t, int32_t) override {}
};
idle_surface_t surface;

void open_port(const uint8_t* bytes, uint32_t length)
{
    if (state.port >= 0) {
        player_stop(state.port);
        player_close_stream(state.port);
        player_free_port(state.port);
        state.port = -1;
    }
    int32_t port = -1;
    if (player_get_port(&port) && player_set_stream_mode(port, 0) &&
        player_open_stream(port, bytes, length, 1048576) && player_play(port, &surface))
        state.port = port;
    else if (port >= 0)
        player_free_port(port);
}

void dump_header(const uint8_t* bytes, uint32_t length)
{
    stream_header_t header;
    if (state.dump && read_stream_header(bytes, length, &header))
        fwrite(header.extradata.data(), 1, header.extradata.size(), state.dump);
}

void callback(int32_t, uint32_t type, const uint8_t* bytes, uint32_t length, void*)
{
    if (type == sdk_stream_header) {
        dump_header(bytes, length);
        if (state.decode)
            open_port(bytes, length);
        return;
    }
    state.packets++;
    stream_packet_t packet;
    if (state.dump && read_packet(bytes, length, &packet))
        fwrite(packet.payload, 1, packet.size, state.dump);
    if (state.decode && state.port >= 0)
        player_input_data(state.port, bytes, length);
}

double cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One phase: preview for warm-up + seconds, measure over the last seconds.
bool run_phase(int32_t login, int32_t link_mode, int seconds, const char* name)
{
    preview_request_t request{1, link_mode, 0, 0};
    const int32_t preview = sdk_start_preview(login, &request, callback, nullptr, 0);
    if (preview < 0) {
        std::fprintf(stderr, "camera_decode_bench: no preview\n");
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // connection, first key frame
    const double cpu0 = cpu_seconds();
    const uint64_t packets0 = state.packets;
    const uint64_t pictures0 = player_picture_serial(state.port);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpu_seconds() - cpu0;
    const uint64_t pictures = player_picture_serial(state.port) - pictures0;
    const uint64_t packets = state.packets - packets0;
    sdk_stop_preview(preview);
    std::printf("%-22s cpu %6.1f ms/s  packets %5.1f/s  pictures %5.1f/s\n", name,
                1000.0 * cpu / wall, double(packets) / wall, state.decode ? double(pictures) / wall : 0.0);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: camera_decode_bench URL [seconds] [link_mode] [dump.h264]\n"
                     "  URL: test://1920x1080@25 or rtsp://127.0.0.1:PORT/ch1/main\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int32_t link_mode = argc > 3 ? std::atoi(argv[3]) : 0;
    sdk_init();
    sdk_set_connect_time(3000, 1);
    sdk_set_reconnect(1000, 1);
    const int32_t login = sdk_login(argv[1], 0, "", "", nullptr);
    if (login < 0) {
        std::fprintf(stderr, "camera_decode_bench: login failed\n");
        return 1;
    }
    state.dump = argc > 4 ? std::fopen(argv[4], "wb") : nullptr;
    const bool ok = run_phase(login, link_mode, seconds, "received only");
    if (state.dump)
        std::fclose(state.dump);
    state.dump = nullptr;
    state.decode = true;
    const bool ok2 = ok && run_phase(login, link_mode, seconds, "decoded to BGRA");
    if (state.port >= 0) {
        player_stop(state.port);
        player_close_stream(state.port);
        player_free_port(state.port);
    }
    sdk_logout(login);
    sdk_cleanup();
    return ok2 ? 0 : 1;
}
