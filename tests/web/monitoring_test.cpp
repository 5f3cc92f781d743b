// The metrics text and the health check, driven by the RTSP test server as
// the camera through the camera layer: promtool accepts the text, counters
// only grow, and health follows the camera freezing (SIGSTOP), coming back,
// being killed and restarting, and a recording running.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "camera/sdk.h"
#include "settings/log.h"
#include "settings/metrics.h"
#include "tests/support/camera_test_util.h"
#include "tests/support/rtsp_server_process.h"
#include "web/monitoring.h"

namespace {

using namespace std::chrono;

// The state changes must show within this: a stop is noticed within 10 s.
constexpr int notice_ms = 10000;
constexpr int wait_ms = 20000;  // for a camera to come back

// Sample name with labels -> value.
std::map<std::string, double> parse_metrics(const std::string& text)
{
    std::map<std::string, double> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t space = line.rfind(' ');
        values[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
    }
    return values;
}

// promtool's verdict on text: "" when it accepts it, else what it said.
std::string promtool_check(const std::string& text)
{
    char path[] = "/tmp/kestrel-metrics-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "mkstemp failed";
    close(fd);
    std::ofstream(path) << text;
    const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string said;
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        said += buffer;
    const int status = pipe ? pclose(pipe) : -1;
    unlink(path);
    return status == 0 ? "" : "promtool: " + said + "(status " + std::to_string(status) + ")";
}

// The counters of every scrape, checked to never fall.
class scrapes_t {
public:
    std::map<std::string, double> scrape()
    {
        const std::string text = metrics_text();
        EXPECT_EQ(promtool_check(text), "") << text;
        std::map<std::string, double> now = parse_metrics(text);
        for (const auto& [name, value] : now)
            if (name.find("_total") != std::string::npos && last.count(name))
                EXPECT_GE(value, last[name]) << name << " went backwards";
        last = now;
        return now;
    }
    double value(const std::string& name) { return scrape()[name]; }

private:
    std::map<std::string, double> last;
};

bool health_becomes(bool ok, const std::string& part, int limit_ms, health_t* seen)
{
    return wait_for([&] {
        *seen = health_at(metrics_clock_ms());
        return seen->ok == ok && seen->text.find(part) != std::string::npos;
    }, limit_ms);
}

}  // namespace

TEST(monitoring, metrics_and_health_follow_the_camera_and_a_recording)
{
    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    rtsp_server_process server;
    ASSERT_TRUE(server.start({"--path", "/ch1/main=320x240@25"}));
    const int port = server.port();
    scrapes_t scrapes;
    scrapes.scrape();
    const double reconnects = scrapes.value("kestrel_camera_reconnects_total");

    sdk_init();
    sdk_set_connect_time(2000, 1);
    sdk_set_reconnect(500, 1);
    const int32_t login = sdk_login("127.0.0.1", uint16_t(port), "admin", "secret", nullptr);
    const preview_request_t request{1, 0, 0, 0};
    const int32_t preview = sdk_start_preview(login, &request, nullptr, nullptr, 0);
    ASSERT_GE(preview, 0);
    health_t health;
    ASSERT_TRUE(health_becomes(true, "ok: camera delivers video, not recording", notice_ms, &health))
        << health.text;
    EXPECT_EQ(scrapes.value("kestrel_camera_connected"), 1);
    const double packets = scrapes.value("kestrel_camera_packets_total");
    std::this_thread::sleep_for(milliseconds(500));
    auto now = scrapes.scrape();
    EXPECT_GT(now["kestrel_camera_packets_total"], packets);
    EXPECT_GT(now["kestrel_camera_bytes_total"], 0);
    EXPECT_EQ(now["kestrel_recording_active"], 0);
    EXPECT_GT(now["process_resident_memory_bytes"], 1e6);
    EXPECT_GT(now["process_open_fds"], 3);
    const double started = now["process_start_time_seconds"];
    EXPECT_LE(started, double(time(nullptr)) + 1);
    EXPECT_GT(started, double(time(nullptr)) - 3600);

    // A recording: files open and bytes grow, health says so.
    char folder[] = "/tmp/kestrel-monitoring-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const double recorded = scrapes.value("kestrel_recording_bytes_total");
    ASSERT_TRUE(sdk_start_save(preview, (std::string(folder) + "/" + utc_timestamp() + ".mp4").c_str()));
    ASSERT_TRUE(health_becomes(true, "ok: camera delivers video, recording", notice_ms, &health))
        << health.text;
    ASSERT_TRUE(wait_for([&] { return scrapes.value("kestrel_recording_bytes_total") > recorded; },
                         notice_ms));
    EXPECT_EQ(scrapes.value("kestrel_recording_active"), 1);
    EXPECT_GE(scrapes.value("kestrel_recording_free_bytes"), 0);

    // Frozen: the camera answers nothing; then it thaws.
    server.pause();
    const auto frozen = steady_clock::now();
    EXPECT_TRUE(health_becomes(false, "", notice_ms, &health)) << health.text;
    EXPECT_LE(duration_cast<milliseconds>(steady_clock::now() - frozen).count(), notice_ms);
    EXPECT_TRUE(health.text.find("camera") != std::string::npos ||
                health.text.find("recording stalled") != std::string::npos) << health.text;
    server.resume();
    EXPECT_TRUE(health_becomes(true, "ok: camera delivers video, recording", wait_ms, &health))
        << health.text;

    // Gone: the server is killed, then started again on its port.
    server.stop();
    EXPECT_TRUE(health_becomes(false, "camera not connected", notice_ms, &health)) << health.text;
    EXPECT_EQ(scrapes.value("kestrel_camera_connected"), 0);
    ASSERT_TRUE(server.start({"--path", "/ch1/main=320x240@25"}, port));
    EXPECT_TRUE(health_becomes(true, "ok: camera delivers video, recording", wait_ms, &health))
        << health.text;
    now = scrapes.scrape();
    EXPECT_EQ(now["kestrel_camera_connected"], 1);
    EXPECT_GE(now["kestrel_camera_reconnects_total"], reconnects + 1);

    EXPECT_TRUE(sdk_stop_save(preview));
    EXPECT_EQ(scrapes.value("kestrel_recording_active"), 0);
    EXPECT_TRUE(health_becomes(true, "not recording", notice_ms, &health)) << health.text;
    sdk_stop_preview(preview);
    sdk_logout(login);
    sdk_cleanup();
    EXPECT_EQ(scrapes.value("kestrel_camera_connected"), 0);
    std::filesystem::remove_all(folder);
}

// The labelled families: every answer code and streaming route counted
// appears with its label, and the text stays valid.
TEST(monitoring, labelled_counts_appear_and_stay_valid)
{
    metrics_count_answer(200);
    metrics_count_answer(401);
    metrics_count_answer(299);  // one the server never sends
    metrics_stream_client("preview.mjpeg", 1);
    metrics_stream_client("preview.mjpeg", 1);
    metrics_stream_client("preview.mjpeg", -1);
    const std::string text = metrics_text();
    if (std::system("command -v promtool >/dev/null 2>&1") == 0)
        EXPECT_EQ(promtool_check(text), "") << text;
    const auto values = parse_metrics(text);
    EXPECT_GE(values.at("kestrel_http_requests_total{code=\"200\"}"), 1);
    EXPECT_GE(values.at("kestrel_http_requests_total{code=\"401\"}"), 1);
    EXPECT_GE(values.at("kestrel_http_requests_total{code=\"other\"}"), 1);
    EXPECT_EQ(values.at("kestrel_stream_clients{route=\"preview.mjpeg\"}"), 1);
    EXPECT_EQ(values.count("kestrel_http_requests_total{code=\"299\"}"), 0u);
}
