// The web server of the real kestrel executable in daemon mode on a free
// loopback port, driven by curl and by a raw socket: what a browser and a
// hostile client see, and that the process survives them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <QImage>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/kestrel_process.h"
#include "tests/web/http_client.h"
#include "http/http_text.h"

namespace {

using http_client::connection_t;
using http_client::response_t;
using kestrel_test::kestrel_process_t;

const size_t exact_size = 5000;           // size of the file that fills the room exactly
const time_t fixed_time = 1700000000;     // modification time of the room test files

// Output of a shell command and its exit status.
struct run_t {
    std::string output;
    int status = -1;
};

run_t run(const std::string& command)
{
    run_t result;
    result.status = kestrel_test::run_command(command, result.output);
    return result;
}

std::string header_of_file(const char* type, size_t size, time_t modified)
{
    return "HTTP/1.1 200 OK\r\nLast-Modified: " + http_date(modified) + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
}

void write_with_time(const std::string& path, const std::string& bytes)
{
    kestrel_test::write_file(path, bytes);
    utimbuf times{fixed_time, fixed_time};
    utime(path.c_str(), &times);
}

// Starts kestrel with the default web root copied beside it and the given
// extra configuration lines.
std::unique_ptr<kestrel_process_t> start_kestrel(uint16_t& port, const std::vector<std::string>& extra)
{
    auto process = std::make_unique<kestrel_process_t>();
    std::filesystem::copy(KESTREL_WWW, process->path("root"), std::filesystem::copy_options::recursive);
    std::filesystem::create_directories(process->path("root/sub"));
    kestrel_test::write_file(process->path("root/sub/index.htm"), "sub index");
    kestrel_test::write_file(process->path("secret.txt"), "secret");
    write_with_time(process->path("root/exact.bin"), std::string(exact_size, 'e'));
    write_with_time(process->path("root/over.bin"), std::string(exact_size + 1, 'o'));
    port = kestrel_test::free_loopback_port();
    // The first occurrence of a key wins, so the extra lines go first.
    std::vector<std::string> lines = extra;
    for (const std::string& line : std::vector<std::string>{"daemon_mode=true", "demo=true", "ip=127.0.0.1",
                                    "port=" + std::to_string(port), "main_interval=5",
                                    "root=" + process->path("root/"), "login=user", "password=pw"})
        lines.push_back(line);
    process->write_cfg(lines);
    if (!process->start() || !process->wait_for_log("server activated"))
        return nullptr;
    return process;
}

// One kestrel for a whole suite: started by the suite's SetUpTestSuite,
// checked alive after each test, stopped with status 0 at the end.
template <typename suite_t>
class one_kestrel_suite : public ::testing::Test {
public:
    static void TearDownTestSuite()
    {
        if (process) {
            EXPECT_EQ(process->stop(), 0);
        }
        delete process;
        process = nullptr;
    }
    void SetUp() override { ASSERT_NE(process, nullptr) << "kestrel did not start"; }
    void TearDown() override { EXPECT_TRUE(process->running()) << "kestrel ended:\n" << process->log(); }

protected:
    static inline kestrel_process_t* process = nullptr;
    static inline uint16_t port = 0;
};

class kestrel_web : public one_kestrel_suite<kestrel_web> {
public:
    static void SetUpTestSuite()
    {
        // The whole response of exact.bin fills the output buffer exactly.
        size_t room = header_of_file("application/octet-stream", exact_size, fixed_time).size() + exact_size;
        process = start_kestrel(port, {"sizeof_out=" + std::to_string(room)}).release();
    }

    static std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
    static std::string get(const std::string& target, const std::string& extra = "")
    {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
    }
    static std::string authorized_get(const std::string& target)
    {
        return get(target, "Authorization: Basic dXNlcjpwdw==\r\n");
    }
    static std::string status_of(const std::string& request)
    {
        connection_t client(port);
        response_t response;
        return client.exchange(request, response) ? response.status() : std::string();
    }
};


TEST_F(kestrel_web, curl_is_asked_for_credentials_then_served)
{
    run_t anonymous = run("curl -s -i " + url("/"));
    EXPECT_EQ(anonymous.status, 0);
    EXPECT_EQ(anonymous.output.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << anonymous.output;
    EXPECT_NE(anonymous.output.find("\r\nWWW-Authenticate: Basic realm=\"kestrel\"\r\n"), std::string::npos);

    run_t served = run("curl -s -i -u user:pw " + url("/"));
    std::string page = kestrel_test::read_file(process->path("root/index.htm"));
    struct stat status {};
    ASSERT_EQ(stat(process->path("root/index.htm").c_str(), &status), 0);
    EXPECT_EQ(served.output, header_of_file("text/html", page.size(), status.st_mtime) + page);
    EXPECT_NE(page.find("preview.mjpeg"), std::string::npos);

    run_t wrong = run("curl -s -o /dev/null -w '%{http_code}' -u user:nope " + url("/"));
    EXPECT_EQ(wrong.output, "401");
}

TEST_F(kestrel_web, curl_follows_the_folder_redirect_and_sees_the_host)
{
    run_t redirect = run("curl -s -i -u user:pw -H 'Host: camera.example:81' " + url("/sub?x=1"));
    EXPECT_EQ(redirect.output.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << redirect.output;
    EXPECT_NE(redirect.output.find("\r\nLocation: http://camera.example:81/sub/?x=1\r\n"), std::string::npos);
    run_t followed = run("curl -s -L -u user:pw " + url("/sub"));
    EXPECT_EQ(followed.output, "sub index");
}

TEST_F(kestrel_web, curl_http_1_0_and_head_get_no_answer)
{
    // curl reports an empty reply from the server as exit status 52.
    EXPECT_EQ(run("curl -s --http1.0 -u user:pw " + url("/")).status, 52);
    EXPECT_EQ(run("curl -s -I -u user:pw " + url("/")).status, 52);
}

TEST_F(kestrel_web, fifth_attempt_of_a_connection_is_forbidden)
{
    connection_t client(port);
    response_t response;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        ASSERT_TRUE(client.exchange(get("/", "Authorization: Basic d3Jvbmc6d3Jvbmc=\r\n"), response));
        EXPECT_EQ(response.status(), "401 Unauthorized") << attempt;
    }
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    EXPECT_EQ(response.status(), "403 Forbidden");
}

TEST_F(kestrel_web, authorisation_persists_on_a_keep_alive_connection)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    EXPECT_EQ(response.status(), "200 OK");
    ASSERT_TRUE(client.exchange(get("/style.css"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.field("Content-Type"), "text/css");
}

TEST_F(kestrel_web, pipelined_requests_in_order_and_none_when_one_is_broken)
{
    {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(authorized_get("/sub/") + get("/style.css")));
        response_t first, second;
        ASSERT_TRUE(client.read_response(first));
        ASSERT_TRUE(client.read_response(second));
        EXPECT_EQ(first.body, "sub index");
        EXPECT_EQ(second.field("Content-Type"), "text/css");
    }
    connection_t client(port);
    ASSERT_TRUE(client.send_text(authorized_get("/sub/") + "GET /style.css HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client.closed_silently());
}

TEST_F(kestrel_web, traversal_attempts_are_forbidden)
{
    for (const char* target : {"/../secret.txt", "/..\\secret.txt", "/a/../../secret.txt", "/x..y"})
        EXPECT_EQ(status_of(authorized_get(target)), "403 Forbidden") << target;
    EXPECT_EQ(run("curl -s --path-as-is -o /dev/null -w '%{http_code}' -u user:pw " + url("/../secret.txt")).output,
              "403");
}

TEST_F(kestrel_web, file_exactly_filling_the_room_is_sent_whole_one_byte_more_in_pieces)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/exact.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body, std::string(exact_size, 'e'));
    ASSERT_TRUE(client.exchange(get("/over.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body, std::string(exact_size + 1, 'o'));
}

TEST_F(kestrel_web, media_index_lists_regular_files_of_the_folders_escaped)
{
    std::filesystem::create_directories(process->path("root/img/folder.jpg"));
    std::filesystem::create_directories(process->path("root/rec"));
    kestrel_test::write_file(process->path("root/img/a\"b\\<i>&\x01.jpg"), "odd");
    kestrel_test::write_file(process->path("root/img/.hidden.jpg"), "hidden");
    kestrel_test::write_file(process->path("root/rec/2026-01-02 03-04-05 (UTC).mp4"), "older");
    kestrel_test::write_file(process->path("root/rec/2026-01-02 04-04-05 (UTC).mp4"), "newer!");
    std::filesystem::create_symlink(process->path("secret.txt"), process->path("root/rec/link.mp4"));
    EXPECT_EQ(status_of(get("/media.json")), "401 Unauthorized");
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/media.json"), response));
    EXPECT_EQ(response.field("Content-Type"), "application/json");
    const std::string& body = response.body;
    EXPECT_EQ(body.rfind("{\"complete\":true,\"recordings\":{\"folder\":\"rec/\",\"files\":["
                         "{\"name\":\"2026-01-02 04-04-05 (UTC).mp4\",\"size\":6,\"time\":", 0),
              0u) << body;
    EXPECT_NE(body.find(",\"writing\":false},{\"name\":\"2026-01-02 03-04-05 (UTC).mp4\",\"size\":5,"),
              std::string::npos) << body;
    EXPECT_NE(body.find("\"photos\":{\"folder\":\"img/\",\"files\":[{\"name\":\"a\\\"b\\\\<i>&\\u0001.jpg\","),
              std::string::npos) << body;
    for (const char* absent : {"hidden", "link.mp4", "folder.jpg"})
        EXPECT_EQ(body.find(absent), std::string::npos) << absent;
    // The names as the page asks for them, escaped.
    ASSERT_TRUE(client.exchange(get("/rec/2026-01-02%2004-04-05%20(UTC).mp4"), response));
    EXPECT_EQ(response.body, "newer!");
    EXPECT_EQ(response.field("Content-Type"), "video/mp4");
    EXPECT_EQ(status_of(authorized_get("/rec%2F..%2F..%2Fsecret.txt")), "403 Forbidden");
}

TEST_F(kestrel_web, over_long_header_block_closes_the_connection)
{
    connection_t client(port);
    ASSERT_TRUE(client.send_text("GET / HTTP/1.1\r\nX-Filler: " + std::string(12000, 'f') + "\r\n\r\n"));
    EXPECT_TRUE(client.closed_silently());
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
}

TEST_F(kestrel_web, hostile_bytes_leave_the_server_serving)
{
    const std::string inputs[] = {
        std::string("GET /\0 HTTP/1.1\r\n\r\n", 19),
        "GET http://u:p@ HTTP/1.1\r\n\r\n",
        ": \r\n\r\n",
        std::string(3, '\0') + "\r\n\r\n",
        "GET / HTTP/1.1\r\n" + std::string(200, ':') + "\r\n\r\n",
    };
    for (const std::string& input : inputs) {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(input));
        client.closed_silently(2000);
    }
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
}

TEST(kestrel_web_reset, client_that_resets_mid_response_leaves_the_server_running)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"sizeof_out=8388608", "login=", "password="});
    ASSERT_NE(process, nullptr);
    kestrel_test::write_file(process->path("root/big.bin"), std::string(6 * 1024 * 1024, 'b'));
    for (int round = 0; round < 3; ++round) {
        int sock = socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        sockaddr_in address = loopback::address_of(port);
        ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        std::string request = "GET /big.bin HTTP/1.1\r\n\r\n";
        ASSERT_EQ(send(sock, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        char some[1024];
        ASSERT_GT(recv(sock, some, sizeof(some), 0), 0);
        loopback::close_with_reset(sock);
    }
    EXPECT_TRUE(process->wait_for_log("job _send finished with result send_failed"));
    EXPECT_TRUE(process->running());
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange("GET /style.css HTTP/1.1\r\n\r\n", response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(process->stop(), 0);
}

// curl fetching twenty files over one kept-alive connection from a server
// whose steps may lie a second apart: a fixed pause would need 40 s.
TEST(kestrel_web_pace, curl_keeps_one_connection_for_twenty_files_at_main_interval_1000)
{
    uint16_t port = 0;
    auto process = start_kestrel(port, {"main_interval=1000"});
    ASSERT_NE(process, nullptr);
    std::string urls;
    for (int n = 0; n < 20; ++n)
        urls += " -o /dev/null http://127.0.0.1:" + std::to_string(port) + (n % 2 ? "/style.css" : "/exact.bin");
    const auto start = std::chrono::steady_clock::now();
    run_t fetched = run("curl -s -u user:pw -w '%{http_code} %{num_connects}\\n'" +
                        urls);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(fetched.status, 0);
    std::string expected = "200 1\n";
    for (int n = 1; n < 20; ++n)
        expected += "200 0\n";
    EXPECT_EQ(fetched.output, expected);
    EXPECT_LT(took, std::chrono::seconds(10));
    // Stopping does not wait out the pause either.
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(process->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
}

// Pseudo-random bytes: a piece sent twice, lost or out of order shows.
std::string pattern_bytes(size_t size)
{
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

// A "Vm..." line of the process's status file, in KiB.
long status_kib(pid_t pid, const std::string& key)
{
    std::string status = kestrel_test::read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(key + ":");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + key.size() + 1, nullptr, 10);
}

// Files far larger than the 64 KiB output buffer, without credentials.
class kestrel_large_files : public one_kestrel_suite<kestrel_large_files> {
public:
    static void SetUpTestSuite()
    {
        process = start_kestrel(port, {"sizeof_out=65536", "login=", "password="}).release();
        big = pattern_bytes(50 * 1000 * 1000);
        if (process)
            kestrel_test::write_file(process->path("root/big.bin"), big);
    }

    static std::string get(const std::string& target, const std::string& extra = "")
    {
        return "GET " + target + " HTTP/1.1\r\n" + extra + "\r\n";
    }
    static std::string style_status()
    {
        connection_t client(port);
        response_t response;
        return client.exchange(get("/style.css"), response) ? response.status() : std::string();
    }

    static std::string big;
};

std::string kestrel_large_files::big;

TEST_F(kestrel_large_files, big_file_arrives_whole_while_another_connection_is_answered)
{
    const long peak_before = status_kib(process->pid, "VmHWM");
    connection_t download(port);
    connection_t other(port);
    ASSERT_TRUE(download.send_text(get("/big.bin")));
    size_t answers = 0;
    for (size_t checked = 0;;) {
        size_t end = download.pending.find("\r\n\r\n");
        if (end != std::string::npos && download.pending.size() >= end + 4 + big.size())
            break;
        ASSERT_TRUE(download.receive(5000)) << "stalled after " << download.pending.size() << " bytes";
        // Every few megabytes, while the file is still on its way, the
        // other connection asks and is answered.
        if (download.pending.size() >= checked + 5 * 1000 * 1000) {
            checked = download.pending.size();
            response_t response;
            ASSERT_TRUE(other.exchange(get("/style.css"), response));
            EXPECT_EQ(response.status(), "200 OK");
            ++answers;
        }
    }
    EXPECT_GE(answers, 8u);
    response_t response;
    ASSERT_TRUE(download.read_response(response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.field("Content-Length"), std::to_string(big.size()));
    EXPECT_TRUE(response.body == big) << "the body differs from the file";
    // The file went through the 64 KiB buffer: the peak resident memory did
    // not grow by anything near its size.
    EXPECT_LT(status_kib(process->pid, "VmHWM") - peak_before, 10 * 1024);
    // Keep-alive goes on after the last piece.
    ASSERT_TRUE(download.exchange(get("/style.css"), response));
    EXPECT_EQ(response.status(), "200 OK");
}

TEST_F(kestrel_large_files, single_ranges_give_their_bytes_others_the_whole_file)
{
    const size_t size = big.size();
    struct {
        const char* range;
        size_t first;
        size_t count;
    } cases[] = {
        {"bytes=0-99", 0, 100},
        {"bytes=25000000-25000099", 25000000, 100},
        {"bytes=-100", size - 100, 100},
        {"bytes=49999990-60000000", size - 10, 10},
        {"bytes=49000000-", 49000000, 1000000},  // in pieces
    };
    connection_t client(port);
    response_t response;
    for (const auto& c : cases) {
        ASSERT_TRUE(client.exchange(get("/big.bin", std::string("Range: ") + c.range + "\r\n"), response));
        EXPECT_EQ(response.status(), "206 Partial Content") << c.range;
        EXPECT_EQ(response.field("Content-Range"), "bytes " + std::to_string(c.first) + "-" +
                                                       std::to_string(c.first + c.count - 1) + "/" +
                                                       std::to_string(size));
        EXPECT_TRUE(response.body == big.substr(c.first, c.count)) << c.range;
    }
    ASSERT_TRUE(client.exchange(get("/big.bin", "Range: bytes=50000000-\r\n"), response));
    EXPECT_EQ(response.status(), "416 Range Not Satisfiable");
    EXPECT_EQ(response.field("Content-Range"), "bytes */50000000");
    std::string style = kestrel_test::read_file(process->path("root/style.css"));
    for (const char* range : {"bytes=0-1,4-5", "bytes=5-1", "items=0-1", "bytes= 0-1"}) {
        ASSERT_TRUE(client.exchange(get("/style.css", std::string("Range: ") + range + "\r\n"), response));
        EXPECT_EQ(response.status(), "200 OK") << range;
        EXPECT_EQ(response.body, style) << range;
    }
}

TEST_F(kestrel_large_files, client_that_never_reads_stalls_only_itself)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in address = loopback::address_of(port);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    std::string request = get("/big.bin");
    ASSERT_EQ(send(sock, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(process->wait_for_log("job _send activated"));
    for (int round = 0; round < 5; ++round)
        EXPECT_EQ(style_status(), "200 OK") << round;
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(get("/big.bin", "Range: bytes=1000000-2999999\r\n"), response));
    EXPECT_TRUE(response.body == big.substr(1000000, 2000000));
    close(sock);
}

TEST_F(kestrel_large_files, file_truncated_while_sent_closes_the_connection)
{
    const std::string path = process->path("root/shrinking.bin");
    kestrel_test::write_file(path, big.substr(0, 20 * 1000 * 1000));
    connection_t client(port);
    ASSERT_TRUE(client.send_text(get("/shrinking.bin")));
    while (client.pending.find("\r\n\r\n") == std::string::npos)
        ASSERT_TRUE(client.receive(5000));
    ASSERT_EQ(truncate(path.c_str(), 1000 * 1000), 0);
    // Whatever was on its way arrives, then the connection ends short.
    client.closed_silently(10000);
    EXPECT_TRUE(client.ended);
    EXPECT_LT(client.pending.size(), 20u * 1000 * 1000);
    EXPECT_EQ(style_status(), "200 OK");
}

}  // namespace

namespace {

TEST(kestrel_browser, headless_chromium_loads_the_page_through_basic_authentication)
{
    if (run("command -v chromium").status != 0)
        GTEST_SKIP() << "chromium is not installed";
    uint16_t port = 0;
    auto process = start_kestrel(port, {});
    ASSERT_NE(process, nullptr);
    std::string profile = process->path("profile");
    std::string shot = process->path("shot.png");
    // Credentials in the address: the browser first asks without them, gets
    // 401 with the realm, and repeats the request with them.
    std::string command = "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic "
                          "--no-first-run --disable-background-networking --disable-component-update "
                          "--disable-sync --user-data-dir=" + profile + " --screenshot=" + shot +
                          " --window-size=800,600 http://user:pw@127.0.0.1:" + std::to_string(port) +
                          "/ 2>&1";
    run_t browser = run(command);
    ASSERT_EQ(browser.status, 0) << browser.output;

    QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull()) << browser.output;
    EXPECT_EQ(image.width(), 800);
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4)
            colours.insert(image.pixel(x, y));
    // A blank page has one colour; the page has a banner, a frame and text.
    EXPECT_GT(colours.size(), 10u);
    // The page's own background colour, which only the style sheet sets.
    EXPECT_EQ(image.pixel(400, 590) & 0xFFFFFF, 0x12203Au);

    std::string log = process->log();
    EXPECT_NE(log.find(") authorization detected"), std::string::npos);
    EXPECT_NE(log.find("GET /style.css HTTP/1.1"), std::string::npos);
    EXPECT_EQ(process->stop(), 0);
}

}  // namespace
