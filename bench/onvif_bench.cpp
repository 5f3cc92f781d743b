// ONVIF benchmark: from a plain camera address to the first picture, beside
// the same with the whole stream URL typed. The loopback ONVIF camera of the
// tests (tests/support/onvif_responder.h) names a stream of the RTSP test
// server; the connection (login, preview, player) runs as in the program.
// Rounds alternate between the two; every round starts with a fresh camera
// layer, so the plain address asks all ONVIF questions each time. Prints
// the median times of the login, the started preview and the first decoded
// picture.
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

double ms_since(steady_clock::time_point start)
{
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

// One connection from nothing, the steps of connect_camera one by one:
// milliseconds to the login, to the started preview and to the first
// picture; false when they do not come within 10 s.
bool one_round(const settings_t& s, double* login_ms, double* connect_ms, double* picture_ms)
{
    sdk_init();
    sdk_set_connect_time(uint32_t(s.con_wait_time), 1);
    sdk_set_reconnect(1000, 1);
    const auto start = steady_clock::now();
    login_handle = sdk_login(s.ipc_ip.c_str(), s.ipc_port, s.ipc_login.c_str(),
                             s.ipc_password.c_str(), nullptr);
    *login_ms = ms_since(start);
    const preview_request_t request{s.channel, s.link_mode, 0, 0};
    preview_handle = sdk_start_preview(login_handle, &request, stream_data_callback, nullptr, 0);
    bool ok = preview_handle >= 0;
    *connect_ms = ms_since(start);
    const auto limit = start + seconds(10);
    while (ok && !has_picture()) {
        if (steady_clock::now() > limit)
            ok = false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    *picture_ms = ms_since(start);
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

    std::vector<double> login[2], connect[2], picture[2];
    for (int i = 0; i < rounds * 2; ++i) {
        const int kind = i % 2;  // 0 whole URL, 1 plain address
        double l = 0, c = 0, p = 0;
        if (!one_round(kind ? plain : url, &l, &c, &p)) {
            std::fprintf(stderr, "onvif_bench: no picture in round %d\n", i);
            return 1;
        }
        login[kind].push_back(l);
        connect[kind].push_back(c);
        picture[kind].push_back(p);
    }
    player_hold_pictures(false);
    player_window = nullptr;
    std::printf("rounds: %d each, ONVIF questions asked: %zu\n", rounds, camera.asked().size());
    // The plain address's login is the ONVIF session (clock, services,
    // profiles); the whole URL's is an RTSP session set up to check access.
    const char* format = "%-14s login %7.1f ms  preview started %7.1f ms  first picture %7.1f ms\n";
    std::printf(format, "whole URL", median(login[0]), median(connect[0]), median(picture[0]));
    std::printf(format, "plain address", median(login[1]), median(connect[1]), median(picture[1]));
    std::printf(format, "difference", median(login[1]) - median(login[0]),
                median(connect[1]) - median(connect[0]), median(picture[1]) - median(picture[0]));
    std::printf("(medians)\n");
    return 0;
}
