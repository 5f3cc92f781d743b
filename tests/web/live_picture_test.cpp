// The live picture of the real kestrel executable over loopback sockets:
// "preview.jpg" and the "preview.mjpeg" stream from the synthetic camera and
// in demo mode, byte for byte; the failure rules; the pace of stream parts;
// and the default page in headless Chromium, which must show a moving
// picture and pick the stream up again after a server restart.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <QImage>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/recording/recording_probe.h"
#include "tests/support/kestrel_process.h"
#include "tests/support/rtsp_server_process.h"
#include "tests/web/cdp_browser.h"
#include "http/http_text.h"

namespace {

using kestrel_test::kestrel_process_t;
using namespace std::chrono;

const std::string credentials = "Authorization: Basic dXNlcjpwdw==\r\n";  // user:pw
const std::string boundary = "boundarydonotcross";
// Sanitizer builds on two busy cores are slow to start a camera.
constexpr int picture_wait_ms = 20000;

std::string get(const std::string& target, bool authorised = true)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + (authorised ? credentials : "") + "\r\n";
}

// A raw loopback connection that reads exactly what it is asked for.
class client_t {
public:
    explicit client_t(uint16_t port) : sock(kestrel_test::connect_loopback(port)) {}
    ~client_t()
    {
        if (sock >= 0)
            ::close(sock);
    }
    client_t(const client_t&) = delete;
    client_t& operator=(const client_t&) = delete;

    bool send(const std::string& bytes) { return kestrel_test::send_all(sock, bytes); }

    // True when n bytes are pending; false when the peer closed or stayed
    // silent for timeout_ms.
    bool need(size_t n, int timeout_ms = 10000)
    {
        while (pending.size() < n)
            if (!loopback::receive_some(sock, pending, timeout_ms, &closed))
                return false;
        return true;
    }

    // Takes the bytes up to and including the next empty line.
    bool take_header(std::string& header, int timeout_ms = 10000)
    {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos)
            if (!need(pending.size() + 1, timeout_ms))
                return false;
        header = take(end + 4);
        return true;
    }

    std::string take(size_t n)
    {
        std::string bytes = pending.substr(0, n);
        pending.erase(0, n);
        return bytes;
    }

    // A whole response with its Content-Length body.
    bool response(std::string& header, std::string& body)
    {
        if (!take_header(header))
            return false;
        const size_t at = header.find("Content-Length: ");
        const size_t length = at == std::string::npos ? 0 : std::stoul(header.substr(at + 16));
        if (!need(length))
            return false;
        body = take(length);
        return true;
    }

    int sock;
    std::string pending;  // received and not yet taken
    bool closed = false;  // the peer closed the connection
};

std::string jpeg_header(size_t length)
{
    return "Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// The fixed part of a header around its date: true when header is exactly
// before + an HTTP date + after.
bool dated(const std::string& header, const std::string& before, const std::string& after)
{
    const size_t date_length = http_date(0).size();
    return header.size() == before.size() + date_length + after.size() &&
           header.compare(0, before.size(), before) == 0 &&
           header.compare(before.size() + date_length, std::string::npos, after) == 0;
}

QImage decode(const std::string& jpeg)
{
    return QImage::fromData(reinterpret_cast<const uchar*>(jpeg.data()), int(jpeg.size()), "JPEG");
}

// One part of a stream, checked byte for byte around its JPEG.
struct part_t {
    std::string jpeg;
    steady_clock::time_point arrived;
};

bool read_part(client_t& client, part_t& part, int timeout_ms = 10000)
{
    std::string header;
    if (!client.take_header(header, timeout_ms))
        return false;
    const size_t at = header.find("Content-Length: ");
    if (at == std::string::npos)
        return false;
    const size_t length = std::stoul(header.substr(at + 16));
    EXPECT_EQ(header, jpeg_header(length));
    const std::string delimiter = "\r\n--" + boundary + "\r\n";
    if (!client.need(length + delimiter.size(), timeout_ms))
        return false;
    part.jpeg = client.take(length);
    part.arrived = steady_clock::now();
    EXPECT_EQ(client.take(delimiter.size()), delimiter);
    return true;
}

// Opens a stream and checks its header; false when none came.
bool open_stream(client_t& client, const std::string& query)
{
    std::string header;
    if (!client.send(get("/preview.mjpeg" + query)) || !client.take_header(header))
        return false;
    // The header runs on to the first delimiter line.
    const std::string first = "--" + boundary + "\r\n";
    if (!client.need(first.size()))
        return false;
    EXPECT_TRUE(dated(header + client.pending.substr(0, first.size()), "HTTP/1.1 200 OK\r\nLast-Modified: ",
                      "\r\nContent-Type: multipart/x-mixed-replace; boundary=" + boundary + "\r\n\r\n" + first))
        << header;
    client.take(first.size());
    return true;
}

// kestrel in daemon mode on a free loopback port with the default web root;
// extra lines go first (the first occurrence of a key wins).
std::unique_ptr<kestrel_process_t> start_kestrel(uint16_t& port, const std::vector<std::string>& extra)
{
    auto process = std::make_unique<kestrel_process_t>();
    std::filesystem::copy(KESTREL_WWW, process->path("root"), std::filesystem::copy_options::recursive);
    port = kestrel_test::free_loopback_port();
    std::vector<std::string> lines = extra;
    for (const std::string& line : std::vector<std::string>{"daemon_mode=true", "ip=127.0.0.1", "port=" + std::to_string(port), "main_interval=5",
          "root=" + process->path("root/"), "login=user", "password=pw", "width=400", "height=300"})
        lines.push_back(line);
    process->write_cfg(lines);
    if (!process->start() || !process->wait_for_log("server activated"))
        return nullptr;
    return process;
}

// The status of a one-request connection.
std::string status_of(uint16_t port, const std::string& target)
{
    client_t client(port);
    std::string header, body;
    if (!client.send(get(target)) || !client.response(header, body))
        return std::string();
    return header.substr(9, header.find("\r\n") - 9);
}

// The synthetic camera's clock in a 320 x 240 picture: "hh mm ss t" in
// seven-segment digits on a dark band, drawn when the picture was made; in
// tenths of a second of the UTC day, or -1 when a digit cannot be read.
int64_t picture_clock_tenths(const QImage& picture)
{
    static constexpr uint8_t segments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};
    const int h = 240 / 8, w = h / 2, gap = w / 2, t = w / 5, half = h / 2;
    const int y = 240 - 2 * h;
    int x = (320 - (7 * (w + gap) + 3 * w)) / 2;
    int digits[7];
    for (int i = 0; i < 7; i++) {
        // Centres of the strokes a to g.
        const QPoint centres[7] = {{x + w / 2, y + t / 2},         {x + w - t / 2, y + t + (half - t) / 2},
                                   {x + w - t / 2, y + half + (half - t) / 2}, {x + w / 2, y + h - 1 - t / 2},
                                   {x + t / 2, y + half + (half - t) / 2},     {x + t / 2, y + t + (half - t) / 2},
                                   {x + w / 2, y + half}};
        uint8_t lit = 0;
        for (int s = 0; s < 7; s++)
            if (qGray(picture.pixel(centres[s])) > 128)
                lit |= uint8_t(1 << s);
        const uint8_t* found = std::find(std::begin(segments), std::end(segments), lit);
        if (found == std::end(segments))
            return -1;
        digits[i] = int(found - segments);
        x += w + gap + ((i == 1 || i == 3 || i == 5) ? w : 0);
    }
    return ((digits[0] * 10 + digits[1]) * 3600 + (digits[2] * 10 + digits[3]) * 60 +
            digits[4] * 10 + digits[5]) * 10 + digits[6];
}

int64_t utc_tenths_now()
{
    const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return (ms % 86400000) / 100;
}

// ---- the synthetic camera ------------------------------------------------------

class live_camera : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        process = start_kestrel(port, {"demo=false", "ipc_ip=test://320x240@25", "frame_delay=0"}).release();
        if (!process)
            return;
        // The camera connects on the first connect tick; its first picture
        // follows the first key frame.
        const auto end = steady_clock::now() + milliseconds(picture_wait_ms);
        while (steady_clock::now() < end && status_of(port, "/preview.jpg?w=8&h=8") != "200 OK")
            std::this_thread::sleep_for(milliseconds(100));
    }
    static void TearDownTestSuite()
    {
        if (process) {
            EXPECT_EQ(process->stop(), 0);
        }
        delete process;
        process = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(process, nullptr) << "kestrel did not start";
        ASSERT_EQ(status_of(port, "/preview.jpg"), "200 OK") << process->log();
    }
    void TearDown() override { EXPECT_TRUE(process->running()) << "kestrel ended"; }

    static kestrel_process_t* process;
    static uint16_t port;
};

kestrel_process_t* live_camera::process = nullptr;
uint16_t live_camera::port = 0;

TEST_F(live_camera, single_picture_at_the_requested_size)
{
    struct case_t {
        std::string target;
        int w, h;
    };
    const case_t cases[] = {
        {"/preview.jpg", 320, 240},
        {"/preview.jpg?w=100&h=50", 100, 50},
        {"/preview.jpg?w=200&h=200&is_browser_w_h=true", 200, 150},
        {"/preview.jpg?w=200&h=200&is_browser_w_h=TRUE", 200, 200},  // only "true" is true
        {"/preview.jpg?w=0&h=-3", 8, 8},
        {"/preview.jpg?w=%2032", 8, 240},  // no number: 0, then the minimum
        {"/sub/dir/preview.jpg?h=60", 320, 60},  // any folder names the live picture
    };
    for (const case_t& c : cases) {
        client_t client(port);
        std::string header, body;
        ASSERT_TRUE(client.send(get(c.target)) && client.response(header, body)) << c.target;
        EXPECT_TRUE(dated(header, "HTTP/1.1 200 OK\r\nLast-Modified: ",
                          "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"))
            << header;
        const QImage picture = decode(body);
        ASSERT_FALSE(picture.isNull()) << c.target;
        EXPECT_EQ(picture.size(), QSize(c.w, c.h)) << c.target;
    }
}

// Nobody has looked for longer than the player keeps decoding after a
// single picture: the next one is decoded from the last key frame, and it
// is the current picture, not the one the player had when it stopped.
TEST_F(live_camera, after_a_pause_the_first_picture_is_the_current_one)
{
    std::this_thread::sleep_for(seconds(10));
    client_t client(port);
    std::string header, body;
    ASSERT_TRUE(client.send(get("/preview.jpg?q=95")) && client.response(header, body));
    const int64_t now = utc_tenths_now();
    ASSERT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << header;
    const QImage picture = decode(body);
    ASSERT_EQ(picture.size(), QSize(320, 240));
    const int64_t shown = picture_clock_tenths(picture);
    ASSERT_GE(shown, 0) << "the clock cannot be read";
    // Made at most a moment ago (the day may have turned in between).
    const int64_t age = (now - shown + 864000) % 864000;
    EXPECT_LE(age, 30) << "the picture is " << age << " tenths of a second old";
}

TEST_F(live_camera, quality_is_kept_for_later_requests_of_the_connection)
{
    // Sizes at quality 1 and 100 differ several times over.
    auto second_picture_size = [](const std::string& q) {
        client_t client(port);
        std::string header, body;
        EXPECT_TRUE(client.send(get("/preview.jpg?q=" + q)) && client.response(header, body));
        EXPECT_TRUE(client.send(get("/preview.jpg")) && client.response(header, body));
        EXPECT_TRUE(decode(body).width() == 320);
        return body.size();
    };
    const size_t high = second_picture_size("100");
    const size_t low = second_picture_size("1");
    const size_t negative = second_picture_size("-40");  // encoded at quality 1
    EXPECT_GT(high, 3 * low);
    EXPECT_GT(high, 3 * negative);
}

TEST_F(live_camera, hostile_sizes_and_pipelined_requests)
{
    for (const char* target : {"/preview.jpg?w=100000&h=100000", "/preview.jpg?w=8193",
                               "/preview.jpg?h=2147483647&w=2147483647", "/preview.mjpeg?w=9000&h=9000"}) {
        client_t client(port);
        std::string header, body;
        if (std::string(target).find("mjpeg") != std::string::npos) {
            // The stream opens (its size is not looked at yet) and ends at
            // its first part.
            ASSERT_TRUE(open_stream(client, std::string(target).substr(14)));
            part_t part;
            EXPECT_FALSE(read_part(client, part));
            EXPECT_TRUE(client.closed);
            continue;
        }
        ASSERT_TRUE(client.send(get(target)) && client.response(header, body)) << target;
        EXPECT_EQ(header, "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\nContent-Length: 25\r\n\r\n");
        EXPECT_EQ(body, "500 Internal Server Error");
    }
    // Two requests in one send are answered in order by one send.
    client_t client(port);
    ASSERT_TRUE(client.send(get("/preview.jpg?w=64&h=48") + get("/preview.jpg?w=32&h=24")));
    std::string header, first, second;
    ASSERT_TRUE(client.response(header, first) && client.response(header, second));
    EXPECT_EQ(decode(first).size(), QSize(64, 48));
    EXPECT_EQ(decode(second).size(), QSize(32, 24));
    // Unauthorised, the live picture is refused like any file.
    client_t stranger(port);
    ASSERT_TRUE(stranger.send(get("/preview.jpg", false)) && stranger.response(header, first));
    EXPECT_EQ(header.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
}

TEST_F(live_camera, stream_parts_byte_for_byte_and_a_moving_picture)
{
    client_t client(port);
    ASSERT_TRUE(open_stream(client, "?w=160&h=160&is_browser_w_h=true&q=80"));
    // Parts come as fast as they are sent; a part made while the camera's
    // picture stays the same is the same JPEG. The synthetic camera's picture
    // moves, so another one comes within a few frames: a matter of time, not
    // of how many parts a fast machine reads meanwhile. Every tenth part is
    // kept for the size check, and the last one.
    std::vector<part_t> parts(1);
    ASSERT_TRUE(read_part(client, parts[0]));
    part_t part;
    bool moved = false;
    const auto deadline = kestrel_test::deadline_in(seconds(10));
    for (size_t read = 1; !moved && steady_clock::now() < deadline; ++read) {
        ASSERT_TRUE(read_part(client, part));
        moved = part.jpeg != parts[0].jpeg;
        if (read % 10 == 0 || moved)
            parts.push_back(part);
    }
    EXPECT_TRUE(moved);
    for (const part_t& kept : parts)
        EXPECT_EQ(decode(kept.jpeg).size(), QSize(160, 120));
    // Each part's header is logged as a framed block, without its final
    // line end; the log stores every "\n" as CR LF.
    const std::string separator = "//---------------------------------------------------------------------------\n";
    const std::string header = jpeg_header(parts[0].jpeg.size());
    std::string block = ") subheader to send\n" + separator + header.substr(0, header.size() - 2) + "\n" + separator;
    std::string logged;
    for (char c : block)
        logged += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_NE(process->log().find(logged), std::string::npos);
}

TEST_F(live_camera, stream_ignores_what_the_client_sends_after_its_request)
{
    client_t client(port);
    ASSERT_TRUE(open_stream(client, "?w=64&h=48"));
    part_t part;
    ASSERT_TRUE(read_part(client, part));
    ASSERT_TRUE(client.send(get("/index.htm") + "garbage\r\n\r\n" + get("/preview.jpg")));
    // Only parts follow: read_part checks every byte around them.
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(read_part(client, part));
    EXPECT_EQ(decode(part.jpeg).size(), QSize(64, 48));
}

TEST_F(live_camera, clients_that_vanish_mid_stream_leave_the_server_serving)
{
    std::vector<std::unique_ptr<client_t>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<client_t>(port));
        ASSERT_TRUE(open_stream(*clients.back(), "?w=80&h=60"));
    }
    // One resets its connection, one just closes it mid-part, one stops
    // reading altogether.
    linger reset{1, 0};
    setsockopt(clients[0]->sock, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    clients[0].reset();
    clients[1]->need(10);
    clients[1].reset();
    std::this_thread::sleep_for(milliseconds(500));
    part_t part;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(read_part(*clients[3], part));
    EXPECT_EQ(status_of(port, "/index.htm"), "200 OK");
    EXPECT_EQ(status_of(port, "/preview.jpg"), "200 OK");
}

// ---- no picture, demo mode, small buffers --------------------------------------------

TEST(live_no_picture, both_names_answer_500_while_the_camera_is_away)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=127.0.0.1",
                                        "ipc_port=" + std::to_string(kestrel_test::free_loopback_port()),
                                        "recon_interval=100000"});
    ASSERT_NE(process, nullptr);
    for (const char* target : {"/preview.jpg", "/preview.mjpeg", "/preview.jpg?w=10&h=10", "/preview.mp4"}) {
        client_t client(port);
        std::string header, body;
        ASSERT_TRUE(client.send(get(target)) && client.response(header, body)) << target;
        EXPECT_EQ(header, "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\nContent-Length: 25\r\n\r\n");
        // The connection stays open for the next request.
        EXPECT_TRUE(client.send(get("/index.htm")) && client.response(header, body));
        EXPECT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    }
    EXPECT_NE(process->log().find(") error detected"), std::string::npos);
    EXPECT_EQ(process->stop(), 0);
}

TEST(live_demo, picture_and_stream_have_the_window_client_size)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=true", "frame_delay=0"});
    ASSERT_NE(process, nullptr);
    client_t client(port);
    std::string header, body;
    ASSERT_TRUE(client.send(get("/preview.jpg")) && client.response(header, body));
    const QImage picture = decode(body);
    ASSERT_EQ(picture.size(), QSize(400, 300));
    // The navy background of the demo drawing.
    const QRgb corner = picture.pixel(3, 3);
    EXPECT_LT(qRed(corner), 16);
    EXPECT_LT(qGreen(corner), 16);
    EXPECT_GT(qBlue(corner), 110);

    client_t stream(port);
    ASSERT_TRUE(open_stream(stream, ""));
    part_t part;
    ASSERT_TRUE(read_part(stream, part));
    EXPECT_EQ(decode(part.jpeg).size(), QSize(400, 300));
    EXPECT_EQ(process->stop(), 0);
}

TEST(live_small_buffer, part_larger_than_the_output_buffer_closes_the_stream_after_its_header)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=true", "sizeof_out=3000", "frame_delay=0"});
    ASSERT_NE(process, nullptr);
    client_t big(port);
    ASSERT_TRUE(open_stream(big, "?w=400&h=300&q=100"));
    EXPECT_FALSE(big.need(1, 10000));
    EXPECT_TRUE(big.closed);
    EXPECT_TRUE(big.pending.empty());
    // A picture that fits goes through the same buffer.
    client_t small(port);
    ASSERT_TRUE(open_stream(small, "?w=16&h=12&q=10"));
    part_t part;
    ASSERT_TRUE(read_part(small, part));
    // A single picture that does not fit is answered 500.
    client_t single(port);
    std::string header, body;
    ASSERT_TRUE(single.send(get("/preview.jpg?q=100")) && single.response(header, body));
    EXPECT_EQ(header.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
    EXPECT_EQ(process->stop(), 0);
}

// ---- pace of the parts ---------------------------------------------------------

// Parts that arrive within a window after the stream header, for a given
// frame_delay. Wide bounds: the machine's speed is the benchmark's business;
// these catch pacing by whole calendar seconds or no pacing at all.
class stream_pacing : public ::testing::TestWithParam<int> {};

TEST_P(stream_pacing, parts_follow_the_frame_delay_in_milliseconds)
{
    const int delay = GetParam();
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=true", "frame_delay=" + std::to_string(delay)});
    ASSERT_NE(process, nullptr);
    client_t client(port);
    ASSERT_TRUE(open_stream(client, "?w=32&h=24&q=20"));
    // The window opens with the first part: the first picture of a run may
    // wait for the fonts of the diagnostic picture to load, which says
    // nothing of the pace.
    part_t part;
    ASSERT_TRUE(read_part(client, part, 10000));
    const auto first = part.arrived;
    const int window_ms = delay == 0 ? 1000 : delay * 3 + delay / 2;
    int parts = 0;
    while (read_part(client, part, 3000) && part.arrived - first < milliseconds(window_ms))
        ++parts;
    if (delay == 0) {
        EXPECT_GT(parts, 20) << "parts within one second";
    } else {
        // Due at 1, 2 and 3 delays after the first.
        EXPECT_GE(parts, 2) << "delay " << delay;
        EXPECT_LE(parts, 4) << "delay " << delay;
    }
    EXPECT_EQ(process->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(frame_delays, stream_pacing, ::testing::Values(0, 250, 500, 2000));

// The parts keep their own time, not main_interval's: with steps at most a
// second apart, frame_delay 40 still gives 25 parts a second.
TEST(stream_pacing_long_interval, parts_are_due_between_the_steps_main_interval_brings)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=true", "frame_delay=40", "main_interval=1000"});
    ASSERT_NE(process, nullptr);
    client_t client(port);
    ASSERT_TRUE(open_stream(client, "?w=32&h=24&q=20"));
    const auto opened = steady_clock::now();
    int parts = 0;
    part_t part;
    while (read_part(client, part, 3000) && part.arrived - opened < milliseconds(2000))
        ++parts;
    // Due every 40 ms: 50 in two seconds; a fixed pause would give 2.
    EXPECT_GE(parts, 30);
    EXPECT_LE(parts, 51);
    EXPECT_EQ(process->stop(), 0);
}

// ---- preview.mp4 ---------------------------------------------------------------------

// What one client of "preview.mp4" got.
struct mp4_take_t {
    std::string header;     // the response header
    std::string body;       // the MP4 bytes
    int64_t first_ms = -1;  // from the request to the first MP4 bytes
};

// Opens "preview.mp4" on client and reads its body for ms milliseconds (or
// until the server closes); false when no 200 answer with a body came.
bool open_mp4(client_t& client, mp4_take_t& take)
{
    const auto asked = steady_clock::now();
    if (!client.send(get("/preview.mp4")) || !client.take_header(take.header, picture_wait_ms) ||
        take.header.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || !client.need(1))
        return false;
    take.first_ms = duration_cast<milliseconds>(steady_clock::now() - asked).count();
    return true;
}

void read_mp4(client_t& client, mp4_take_t& take, int ms)
{
    const auto end = steady_clock::now() + milliseconds(ms);
    while (steady_clock::now() < end && !client.closed)
        client.need(client.pending.size() + 1, 50);
    take.body += client.take(client.pending.size());
}

// The stream's bytes in a file for ffprobe and ffmpeg.
std::string saved(const kestrel_process_t& process, const mp4_take_t& take, const std::string& name)
{
    const std::string path = process.path(name);
    kestrel_test::write_file(path, take.body);
    return path;
}

// The header names the codec of the stream's own parameter sets: profile
// and level as ffprobe reads them from the SPS.
void expect_mp4_header(const mp4_take_t& take, const std::string& file)
{
    const size_t at = take.header.find("Content-Type: video/mp4; codecs=\"avc1.");
    ASSERT_NE(at, std::string::npos) << take.header;
    EXPECT_NE(take.header.find("Cache-Control: no-cache, no-store\r\n"), std::string::npos);
    const std::string codec = take.header.substr(at + 38, 6);
    std::string out;
    kestrel_test::run_command("ffprobe -v error -select_streams v:0 -show_entries stream=profile,level "
                              "-of default=nw=1:nk=1 '" + file + "'", out);
    int level = 0;
    char profile[64] = "";
    ASSERT_EQ(std::sscanf(out.c_str(), "%63[^\n]\n%d", profile, &level), 2) << out;
    const std::string name = profile;
    const char* idc = name.find("High") != std::string::npos   ? "64"
                      : name.find("Main") != std::string::npos ? "4D"
                                                               : "42";
    char level_hex[8];
    std::snprintf(level_hex, sizeof level_hex, "%02X", level);
    EXPECT_EQ(codec.substr(0, 2), idc) << name;
    EXPECT_EQ(codec.substr(4, 2), level_hex);
}

TEST(live_mp4, the_synthetic_camera_as_mp4_by_stream_copy)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=test://640x360@25"});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_log("preview started"));
    std::this_thread::sleep_for(milliseconds(1500));
    client_t client(port);
    mp4_take_t take;
    ASSERT_TRUE(open_mp4(client, take)) << take.header;
    read_mp4(client, take, 2500);
    const std::string file = saved(*process, take, "synthetic.mp4");
    expect_mp4_header(take, file);
    EXPECT_TRUE(plays_cleanly(file));
    const probed_file_t probed = probe_file(file);
    EXPECT_EQ(probed.width, 640);
    EXPECT_EQ(probed.height, 360);
    // 2.5 s at 25 fps behind the running interval: one fragment per frame.
    EXPECT_GE(probed.dts.size(), 50u);
    size_t fragments = 0;
    for (size_t at = take.body.find("moof"); at != std::string::npos; at = take.body.find("moof", at + 4))
        fragments++;
    EXPECT_GE(fragments, probed.dts.size());
    // Fragments go out without a pair of job lines each: the log would grow
    // by dozens of lines a second per viewer.
    const std::string log = process->log();
    size_t sends = 0;
    for (size_t at = log.find("job _send activated"); at != std::string::npos; at = log.find("job _send activated", at + 1))
        sends++;
    EXPECT_LT(sends, 5u);
    EXPECT_EQ(process->stop(), 0);
}

// The RTSP camera with a key frame every four seconds. A client must get its
// first fragment at once, whenever it comes: the newest key frame and what
// followed come from the fan-out's cache. Without the cache a client would
// wait two seconds on average for the next key frame; three clients a
// second apart all served within half a second cannot be chance. That the
// camera has run for seconds or minutes makes no difference to the cache
// (it always holds the running interval), so a few seconds prove it.
// The camera then restarts with the same stream: the first client's
// response goes on, one MP4 whose decoding times keep growing.
TEST(live_mp4, rtsp_camera_first_fragment_at_once_and_one_stream_across_a_reconnect)
{
    rtsp_server_process server;
    const std::vector<std::string> camera = {"--path", "/ch1/main=640x360@25", "--key-interval", "4"};
    ASSERT_TRUE(server.start(camera));
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=" + server.url("/ch1/main"), "recon_interval=500"});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_log("preview started"));
    std::this_thread::sleep_for(milliseconds(2500));

    client_t first(port);
    mp4_take_t kept;
    ASSERT_TRUE(open_mp4(first, kept)) << kept.header;
    for (int i = 0; i < 3; i++) {
        std::this_thread::sleep_for(milliseconds(1000));
        read_mp4(first, kept, 0);
        client_t other(port);
        mp4_take_t take;
        ASSERT_TRUE(open_mp4(other, take)) << take.header;
        EXPECT_LT(take.first_ms, 500) << "client " << i;
        read_mp4(other, take, 300);
        EXPECT_TRUE(plays_cleanly(saved(*process, take, "client" + std::to_string(i) + ".mp4")));
    }
    read_mp4(first, kept, 500);
    const size_t before_restart = probe_file(saved(*process, kept, "before.mp4")).dts.size();

    server.stop();
    read_mp4(first, kept, 1000);
    ASSERT_TRUE(server.start(camera, server.port()));
    ASSERT_TRUE(process->wait_for_log("stream reconnected"));
    read_mp4(first, kept, 3000);
    EXPECT_FALSE(first.closed);
    const std::string file = saved(*process, kept, "across.mp4");
    expect_mp4_header(kept, file);
    EXPECT_TRUE(plays_cleanly(file));
    const probed_file_t probed = probe_file(file);
    EXPECT_EQ(probed.width, 640);
    EXPECT_EQ(probed.height, 360);
    // The frames after the reconnection are in the same stream.
    EXPECT_GT(probed.dts.size(), before_restart + 25);
    EXPECT_EQ(process->stop(), 0);
}

// A client that never reads is closed once its socket took nothing for 10 s;
// a client beside it goes on all the while.
TEST(live_mp4, a_client_that_never_reads_is_closed_and_the_others_go_on)
{
    // A camera of 8 Mbit/s fills the socket buffers within seconds.
    rtsp_server_process server;
    ASSERT_TRUE(server.start({"--path", "/ch1/main=1280x720@25", "--bitrate", "8000"}));
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=" + server.url("/ch1/main")});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_log("preview started"));
    const int small = 4096;
    const int stuck = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(kestrel_test::send_all(stuck, get("/preview.mp4")));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(stuck, reinterpret_cast<sockaddr*>(&local), &length);
    const std::string stuck_node = "port = " + std::to_string(ntohs(local.sin_port)) + ") job _send finished with result aborted_with_timeout";

    client_t reader(port);
    mp4_take_t take;
    ASSERT_TRUE(open_mp4(reader, take));
    const auto start = steady_clock::now();
    bool closed = false;
    size_t received_meanwhile = 0;
    while (!closed && steady_clock::now() - start < seconds(60)) {
        const size_t before = take.body.size();
        read_mp4(reader, take, 1000);
        received_meanwhile += take.body.size() > before ? 1 : 0;
        closed = process->log().find(stuck_node) != std::string::npos;
    }
    ASSERT_TRUE(closed) << "the client that never reads is still connected";
    EXPECT_GE(steady_clock::now() - start, seconds(10));
    // The reader got video in every second of it, and still does.
    EXPECT_GE(received_meanwhile, size_t(duration_cast<seconds>(steady_clock::now() - start).count()) - 1);
    const size_t before = take.body.size();
    read_mp4(reader, take, 1000);
    EXPECT_GT(take.body.size(), before);
    EXPECT_TRUE(plays_cleanly(saved(*process, take, "reader.mp4")));
    ::close(stuck);
    EXPECT_EQ(process->stop(), 0);
}

// ---- the default page ----------------------------------------------------------------

bool have_chromium() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

TEST(live_page, headless_chromium_shows_a_moving_picture_and_reopens_the_stream)
{
    if (!have_chromium())
        GTEST_SKIP() << "chromium is not installed";
    uint16_t port = 0;
    // A client size that shows the overlay's clock lines whole.
    auto process = start_kestrel(port, {"demo=true", "frame_delay=100", "width=800", "height=600"});
    ASSERT_NE(process, nullptr);
    cdp::browser_t browser("http://user:pw@127.0.0.1:" + std::to_string(port) + "/", 800, 600);
    ASSERT_TRUE(browser.ready());
    const std::string picture = "document.getElementById('picture')";
    const std::string streaming = picture + ".src.indexOf('blob:') === 0 && " + picture + ".naturalWidth > 0";
    ASSERT_TRUE(browser.wait_until(streaming, 30000)) << process->log();

    // The stream was asked for at the size of the picture box, fitted.
    const int box_w = std::stoi(browser.evaluate("document.getElementById('box').clientWidth"));
    const int box_h = std::stoi(browser.evaluate("document.getElementById('box').clientHeight"));
    // Both sides in one evaluation, of a part already decoded: the page swaps
    // in a new part all the time, which shows 0 x 0 until it is decoded.
    int shown_w = 0, shown_h = 0;
    kestrel_test::wait_until(kestrel_test::deadline_in(seconds(5)), [&] {
        const std::string shown =
            browser.evaluate(picture + ".naturalWidth + ' ' + " + picture + ".naturalHeight");
        if (std::sscanf(shown.c_str(), "%d %d", &shown_w, &shown_h) != 2)
            shown_w = shown_h = 0;
        return shown_w != 0 && shown_h != 0;
    }, milliseconds(10));
    EXPECT_TRUE((shown_w == box_w && shown_h <= box_h) || (shown_h == box_h && shown_w <= box_w))
        << shown_w << "x" << shown_h << " in " << box_w << "x" << box_h;

    const QImage first = browser.screenshot();
    std::this_thread::sleep_for(milliseconds(1200));
    const QImage second = browser.screenshot();
    ASSERT_FALSE(first.isNull());
    ASSERT_EQ(first.size(), second.size());
    EXPECT_NE(first, second) << "the picture does not move";
    first.save(QString::fromStdString(process->path("page-1.png")));
    second.save(QString::fromStdString(process->path("page-2.png")));

    // A restart of the server ends the stream; the page opens it again.
    ASSERT_EQ(process->stop(), 0);
    const std::string before = browser.evaluate(picture + ".src");
    ASSERT_TRUE(process->start());
    ASSERT_TRUE(process->wait_for_log("server activated"));
    EXPECT_TRUE(browser.wait_until(picture + ".src !== '" + before + "' && " + streaming, 30000));
    EXPECT_EQ(process->stop(), 0);
}

// The camera's own video in the page: Media Source plays "preview.mp4" at
// the camera's size, the play position advances, and it stays near the
// newest video (what is buffered ahead of it is the delay the page adds).
TEST(live_page, headless_chromium_plays_the_camera_video_near_the_live_edge)
{
    if (!have_chromium())
        GTEST_SKIP() << "chromium is not installed";
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=test://640x360@25"});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_log("preview started"));
    cdp::browser_t browser("http://user:pw@127.0.0.1:" + std::to_string(port) + "/", 800, 600);
    ASSERT_TRUE(browser.ready());
    const std::string video = "document.getElementById('video')";
    ASSERT_TRUE(browser.wait_until("!" + video + ".hidden && " + video + ".videoWidth === 640 && " + video +
                                       ".videoHeight === 360 && " + video + ".currentTime > 0",
                                   30000))
        << browser.evaluate("document.getElementById('state').textContent") << process->log();
    EXPECT_TRUE(browser.evaluate("document.getElementById('picture').hidden") == "true");
    const std::string shown = browser.evaluate("document.getElementById('info').textContent");
    EXPECT_NE(shown.find("H.264"), std::string::npos) << shown;
    EXPECT_NE(shown.find("640"), std::string::npos) << shown;

    const double first = std::stod(browser.evaluate(video + ".currentTime"));
    std::this_thread::sleep_for(milliseconds(6000));
    const double later = std::stod(browser.evaluate(video + ".currentTime"));
    EXPECT_GT(later - first, 4.0) << "the video does not advance";
    const std::string ahead = video + ".buffered.end(" + video + ".buffered.length - 1) - " + video + ".currentTime";
    // The median of a few samples: one may fall just before a frame plays.
    std::vector<double> behind;
    for (int i = 0; i < 7; i++) {
        behind.push_back(std::stod(browser.evaluate(ahead)));
        std::this_thread::sleep_for(milliseconds(300));
    }
    std::sort(behind.begin(), behind.end());
    EXPECT_LT(behind[3], 0.5);
    browser.screenshot().save(QString::fromStdString(process->path("page-mp4.png")));
    EXPECT_EQ(process->stop(), 0);
}

TEST(media_page, headless_chromium_lists_recordings_plays_one_and_seeks_into_it)
{
    if (!have_chromium())
        GTEST_SKIP() << "chromium is not installed";
    uint16_t port = 0;
    // Files of nine seconds in root/rec/ (the default folder): the first is
    // finished while the second is being written.
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=test://320x240@25", "rec_active=true",
                                        "rec_add_interval=0.0025"});
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_log(" rec started\r\n"));
    const auto end = steady_clock::now() + seconds(40);
    auto files = [&] {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(process->path("root/rec")))
            n += entry.is_regular_file();
        return n;
    };
    while (steady_clock::now() < end && files() < 2)
        std::this_thread::sleep_for(milliseconds(200));
    ASSERT_GE(files(), 2u) << process->log();

    cdp::browser_t browser("http://user:pw@127.0.0.1:" + std::to_string(port) + "/#media", 800, 600);
    ASSERT_TRUE(browser.ready());
    const std::string rows = "document.querySelectorAll('#recordings tbody tr')";
    ASSERT_TRUE(browser.wait_until(rows + ".length >= 2", 20000)) << process->log();
    // Newest first, the one being written marked with where it ends, each
    // with its length ("m:ss"); the finished one is more than six seconds.
    EXPECT_EQ(browser.evaluate(rows + "[0].cells[3].textContent").rfind("being recorded, up to ", 0), 0u);
    EXPECT_EQ(browser.evaluate(rows + "[1].cells[3].textContent"), "");
    const std::string length = browser.evaluate(rows + "[1].cells[1].textContent");
    int minutes = -1, secs = -1;
    ASSERT_EQ(std::sscanf(length.c_str(), "%d:%d", &minutes, &secs), 2) << length;
    EXPECT_GE(minutes * 60 + secs, 6) << length;
    EXPECT_EQ(browser.evaluate("document.getElementById('photos').textContent"), "No photos yet.");

    // Its tab, clicked while the view is shown, reads the list again.
    browser.evaluate(rows + "[0].dataset.old = 'yes'");
    browser.evaluate("document.getElementById('media_tab').click()");
    EXPECT_TRUE(browser.wait_until(rows + ".length >= 2 && " + rows + "[0].dataset.old !== 'yes'", 10000));

    const std::string player = "document.getElementById('player')";
    browser.evaluate(rows + "[1].querySelector('a').click()");
    EXPECT_EQ(browser.evaluate(rows + "[1].className"), "playing");
    EXPECT_EQ(browser.evaluate(rows + "[0].className"), "");
    ASSERT_TRUE(browser.wait_until(player + ".currentTime > 0.2 && isFinite(" + player + ".duration)", 30000))
        << browser.evaluate(player + ".error && " + player + ".error.message") << process->log();
    const double duration = std::stod(browser.evaluate(player + ".duration"));
    EXPECT_GT(duration, 6.0);

    browser.evaluate(player + ".currentTime = " + std::to_string(duration / 2));
    EXPECT_TRUE(browser.wait_until(player + ".currentTime > " + std::to_string(duration / 2 + 1) + " && !" +
                                       player + ".paused",
                                   30000))
        << browser.evaluate(player + ".currentTime");
    // The browser asks for media by ranges. A recording this short comes
    // whole with the first one, so the seek itself is served from what it
    // holds; ranges inside a file are the raw client's part.
    const std::string log = process->log();
    EXPECT_NE(log.find("\nRange: bytes="), std::string::npos);
    EXPECT_NE(log.find("HTTP/1.1 206 Partial Content"), std::string::npos);

    // At 400 pixels wide nothing runs off the side.
    browser.set_viewport(400, 700);
    ASSERT_TRUE(browser.wait_until("window.innerWidth === 400", 5000));
    EXPECT_LE(std::stoi(browser.evaluate("document.documentElement.scrollWidth")), 400);
    browser.screenshot().save(QString::fromStdString(process->path("media-400.png")));
    EXPECT_EQ(process->stop(), 0);
}

}  // namespace

// Polls cond every 50 ms until it holds or limit_ms pass.
bool wait_for_condition(const std::function<bool()>& cond, int limit_ms)
{
    const auto end = steady_clock::now() + milliseconds(limit_ms);
    while (steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return cond();
}

// Five viewers take the stream as fast as the camera makes pictures while
// the metrics and the health are asked for: the log, bounded here at
// 256 KiB by the test-only variable, moves aside and stays within the bound
// in each of its two files; neither holds the password's Base64; the
// metrics count the viewers, the connections and the answers; health is
// good with a camera delivering.
TEST(live_monitoring, mjpeg_viewers_keep_the_log_bounded_and_the_metrics_count_them)
{
    auto process = std::make_unique<kestrel_process_t>();
    std::filesystem::copy(KESTREL_WWW, process->path("root"), std::filesystem::copy_options::recursive);
    const uint16_t port = kestrel_test::free_loopback_port();
    process->write_cfg({"daemon_mode=true", "ip=127.0.0.1", "port=" + std::to_string(port),
                        "main_interval=5", "root=" + process->path("root/"), "login=user",
                        "password=pw", "demo=false", "ipc_ip=test://320x240@25", "frame_delay=0"});
    const size_t limit = 256 * 1024;
    ASSERT_TRUE(process->start({"KESTREL_TEST_LOG_LIMIT=" + std::to_string(limit)}));
    ASSERT_TRUE(process->wait_for_log("server activated"));

    auto ask = [&](const std::string& target, std::string& body) {
        client_t client(port);
        std::string header;
        if (!client.send(get(target)) || !client.response(header, body))
            return std::string();
        return header.substr(9, 3);
    };
    auto metric = [&](const std::string& name) {
        std::string body;
        EXPECT_EQ(ask("/metrics", body), "200");
        const size_t at = body.find("\n" + name + " ");
        return at == std::string::npos ? -1.0 : std::atof(body.c_str() + at + name.size() + 2);
    };
    std::string body;
    EXPECT_TRUE(wait_for_condition([&] { return ask("/healthz", body) == "200"; }, 15000)) << body;
    EXPECT_EQ(body, "ok: camera delivers video, not recording\n");

    std::vector<std::unique_ptr<client_t>> viewers;
    for (int i = 0; i < 5; i++) {
        viewers.push_back(std::make_unique<client_t>(port));
        ASSERT_TRUE(open_stream(*viewers.back(), ""));
    }
    EXPECT_EQ(metric("kestrel_stream_clients{route=\"preview.mjpeg\"}"), 5);
    EXPECT_GE(metric("kestrel_http_connections"), 6);  // the viewers and the asking one
    const auto end = steady_clock::now() + seconds(6);
    int parts = 0;
    while (steady_clock::now() < end && parts < 100000) {
        for (auto& viewer : viewers) {
            part_t part;
            ASSERT_TRUE(read_part(*viewer, part));
            parts++;
        }
    }
    viewers.clear();
    EXPECT_TRUE(wait_for_condition(
        [&] { return metric("kestrel_stream_clients{route=\"preview.mjpeg\"}") == 0; }, 5000));
    EXPECT_GE(metric("kestrel_http_requests_total{code=\"200\"}"), 5);
    EXPECT_EQ(ask("/metrics", body).size(), 3u);
    const std::string unauthorised = [&] {
        client_t client(port);
        std::string header, text;
        client.send(get("/metrics", false));
        client.response(header, text);
        return header.substr(0, 12);
    }();
    EXPECT_EQ(unauthorised, "HTTP/1.1 401");
    ASSERT_EQ(process->stop(), 0);

    const std::string newest = kestrel_test::read_file(process->log_path());
    const std::string older = kestrel_test::read_file(process->log_path() + ".1");
    EXPECT_GT(parts, 50);
    EXPECT_LE(newest.size(), limit);
    EXPECT_LE(older.size(), limit);
    EXPECT_GT(older.size(), limit / 2) << "the log never moved aside";
    for (const std::string* log : {&newest, &older}) {
        EXPECT_EQ(log->find("dXNlcjpwdw=="), std::string::npos);
        EXPECT_EQ(log->find("user:pw"), std::string::npos);
    }
    EXPECT_NE((older + newest).find("Authorization: Basic (hidden)\r"), std::string::npos);
}

// With no camera the page shows why where the picture would be, and the
// picture itself is not shown; a camera that delivers brings it back.
TEST(live_page, headless_chromium_shows_the_reason_instead_of_a_broken_picture)
{
    if (!have_chromium())
        GTEST_SKIP() << "chromium is not installed";
    uint16_t port = 0;
    auto process = start_kestrel(port, {"demo=false", "ipc_ip=127.0.0.1",
                                        "ipc_port=" + std::to_string(kestrel_test::free_loopback_port()),
                                        "recon_interval=100000"});
    ASSERT_NE(process, nullptr);
    cdp::browser_t browser("http://user:pw@127.0.0.1:" + std::to_string(port) + "/", 800, 600);
    ASSERT_TRUE(browser.ready());
    const std::string line = "document.getElementById('health')";
    ASSERT_TRUE(browser.wait_until("!" + line + ".hidden", 15000));
    EXPECT_EQ(browser.evaluate(line + ".textContent"), "Camera: camera not connected");
    EXPECT_EQ(browser.evaluate("getComputedStyle(document.getElementById('picture')).display"), "none");
    EXPECT_EQ(process->stop(), 0);

    // The same page with a camera: the reason goes, the picture is there.
    auto working = start_kestrel(port, {"demo=false", "ipc_ip=test://320x240@25"});
    ASSERT_NE(working, nullptr);
    cdp::browser_t second("http://user:pw@127.0.0.1:" + std::to_string(port) + "/", 800, 600);
    ASSERT_TRUE(second.ready());
    // The camera's video, or the MJPEG picture where the browser can not play it.
    EXPECT_TRUE(second.wait_until("document.getElementById('picture').naturalWidth > 0 || "
                                  "document.getElementById('video').videoWidth > 0",
                                  20000));
    std::this_thread::sleep_for(milliseconds(3500));  // a look at the health or more
    EXPECT_EQ(second.evaluate(line + ".hidden"), "true");
    EXPECT_EQ(working->stop(), 0);
}
