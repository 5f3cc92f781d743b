// ONVIF benchmark: from a plain camera address to the first picture, beside
// the same with the whole stream URL typed. The loopback ONVIF camera of the
// tests (tests/support/onvif_responder.h) names a stream of the RTSP test
// server; the connection (login, preview, player) runs as in the program.
// Rounds alternate between the two; every round starts with a fresh camera
// layer, so the plain address asks all ONVIF questions each time. Prints
// the median time of the connect call and of the first decoded picture.
// Usage: onvif_bench [rounds (20)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera/connection.h"
#include "camera/sdk.h"
#include "player/player.h"
#include "player/video_state.h"
#include "tests/support/onvif_responder.h"
#include "tests/support/rtsp_server_process.h"

namespace {

using namespace std::chrono;

// Stands for a window: pictures are converted, never drawn.
class idle_surface_t : public video_surface_t {
public:
    void picture_ready(int32_t) override {}
    void draw_picture(const uint8_t*, int32_t, int32_t, int32_t) override {}
};

bool has_picture()
{
    mt_guard_t guard(player_lock);
    return player_port >= 0 && player_has_picture(player_port) != 0;
}

// One connection from nothing: milliseconds to the end of connect_camera and
// to the first picture; false when either does not come within 10 s.
bool one_round(const settings_t& s, double* connect_ms, double* picture_ms)
{
    sdk_init();
    sdk_set_connect_time(uint32_t(s.con_wait_time), 1);
    sdk_set_reconnect(1000, 1);
    const auto start = steady_clock::now();
    bool ok = connect_camera(s);
    *connect_ms = duration<double, std::milli>(steady_clock::now() - start).count();
    const auto limit = start + seconds(10);
    while (ok && !has_picture()) {
        if (steady_clock::now() > limit)
            ok = false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    *picture_ms = duration<double, std::milli>(steady_clock::now() - start).count();
    disconnect_camera();
    sdk_cleanup();
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    rtsp_server_process rtsp;
    if (!rtsp.start({"--path", "/ch1/main=640x360@25", "--user", "admin", "--password",
                     "secret"})) {
        std::fprintf(stderr, "onvif_bench: the RTSP test server did not start\n");
        return 1;
    }
    onvif_responder_options_t options;
    options.rtsp_port = rtsp.port();
    options.media2 = true;
    onvif_responder_obj camera;
    if (!camera.start(options)) {
        std::fprintf(stderr, "onvif_bench: the ONVIF camera did not start\n");
        return 1;
    }
    idle_surface_t surface;
    player_window = &surface;
    player_hold_pictures(true);

    settings_t plain;
    plain.ipc_ip = "127.0.0.1";
    plain.ipc_port = uint16_t(camera.port());
    plain.ipc_login = "admin";
    plain.ipc_password = "secret";
    settings_t url = plain;
    url.ipc_ip = rtsp.url("/ch1/main");

    std::vector<double> connect[2], picture[2];
    for (int i = 0; i < rounds * 2; ++i) {
        const int kind = i % 2;  // 0 whole URL, 1 plain address
        double c = 0, p = 0;
        if (!one_round(kind ? plain : url, &c, &p)) {
            std::fprintf(stderr, "onvif_bench: no picture in round %d\n", i);
            return 1;
        }
        connect[kind].push_back(c);
        picture[kind].push_back(p);
    }
    player_hold_pictures(false);
    player_window = nullptr;
    std::printf("rounds: %d each, ONVIF questions asked: %zu\n", rounds, camera.asked().size());
    std::printf("whole URL      connect %7.1f ms  first picture %7.1f ms (medians)\n",
                median(connect[0]), median(picture[0]));
    std::printf("plain address  connect %7.1f ms  first picture %7.1f ms (medians)\n",
                median(connect[1]), median(picture[1]));
    std::printf("ONVIF adds     connect %7.1f ms  first picture %7.1f ms\n",
                median(connect[1]) - median(connect[0]), median(picture[1]) - median(picture[0]));
    return 0;
}
