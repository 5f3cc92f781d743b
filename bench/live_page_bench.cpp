// The default page's live video in headless Chromium over a long run: every
// interval, how far the play position lies behind the newest buffered video
// (buffered end minus currentTime) and how much is buffered in all; a delay
// that grows would show as a rising first column. Driven by
// bench/live_page.sh, which starts the camera and kestrel.
// usage: live_page_bench URL SECONDS [INTERVAL_S]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/web/cdp_browser.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: live_page_bench URL SECONDS [INTERVAL_S]\n");
        return 2;
    }
    const int seconds = std::atoi(argv[2]);
    const int interval = argc > 3 ? std::atoi(argv[3]) : 10;
    cdp::browser_t browser(argv[1], 1280, 800);
    const std::string v = "document.getElementById('video')";
    if (!browser.ready() || !browser.wait_until("!" + v + ".hidden && " + v + ".currentTime > 0", 30000)) {
        std::fprintf(stderr, "the page plays no video\n");
        return 1;
    }
    const std::string sample = "(" + v + ".buffered.end(" + v + ".buffered.length - 1) - " + v +
                               ".currentTime).toFixed(3) + ' ' + (" + v + ".buffered.end(" + v +
                               ".buffered.length - 1) - " + v + ".buffered.start(0)).toFixed(1) + ' ' + " + v +
                               ".currentTime.toFixed(1) + ' ' + " + v + ".videoWidth + 'x' + " + v +
                               ".videoHeight + ' ' + " + v + ".getVideoPlaybackQuality().droppedVideoFrames";
    std::printf("%6s %10s %10s %10s %10s %8s\n", "t_s", "behind_s", "buffered_s", "current_s", "size", "dropped");
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t <= seconds; t += interval) {
        std::this_thread::sleep_until(start + std::chrono::seconds(t));
        const std::string s = browser.evaluate(sample);
        char behind[32], buffered[32], current[32], size[32], dropped[32];
        if (std::sscanf(s.c_str(), "%31s %31s %31s %31s %31s", behind, buffered, current, size, dropped) == 5)
            std::printf("%6d %10s %10s %10s %10s %8s\n", t, behind, buffered, current, size, dropped);
        else
            std::printf("%6d %s\n", t, s.c_str());
        std::fflush(stdout);
    }
    return 0;
}
