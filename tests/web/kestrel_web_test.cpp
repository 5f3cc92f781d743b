// The web server of the real kestrel executable in daemon mode on a free
// loopback port, driven by curl and by a raw socket: what a browser and a
// hostile client see, and that the process survives them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <QImage>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/kestrel_process.h"
#include "tests/web/http_client.h"
#include "web/http_text.h"

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
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

class kestrel_web : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        // The whole response of exact.bin fills the output buffer exactly.
        size_t room = header_of_file("application/octet-stream", exact_size, fixed_time).size() + exact_size;
        process = start_kestrel(port, {"sizeof_out=" + std::to_string(room)}).release();
    }
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

    static kestrel_process_t* process;
    static uint16_t port;
};

kestrel_process_t* kestrel_web::process = nullptr;
uint16_t kestrel_web::port = 0;

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

TEST_F(kestrel_web, file_exactly_filling_the_room_is_served_one_byte_more_is_not)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/exact.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body, std::string(exact_size, 'e'));
    ASSERT_TRUE(client.exchange(get("/over.bin"), response));
    EXPECT_EQ(response.status(), "500 Internal Server Error");
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
