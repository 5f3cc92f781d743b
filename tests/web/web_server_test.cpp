// The web server in-process: web_server stepped by web_server_thread on a
// loopback port, driven by a raw client. Covers authentication, routing,
// files and their room, pipelining, broken and hostile requests, the log
// lines of a connection, the route table (lookup, per-connection route
// objects, answers that wait, a stream fed from another thread), and the
// pace: answers do not wait for main_interval, and an idle thread does.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "settings/log.h"
#include "settings/settings.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_folder.h"
#include "tests/web/http_client.h"
#include "http/http_text.h"
#include "net/se_socket.h"
#include "web/auth_lockout.h"
#include "web/route_table.h"
#include "web/simple_server.h"
#include "web/simple_thread_obj.h"

namespace {

using http_client::connection_t;
using http_client::response_t;

std::string test_dir;  // holds root/, the log and a file beside the root
std::string log_path;

using kestrel_test::write_file;
std::unique_ptr<kestrel_test::temp_folder_t> folder;  // test_dir, for the whole suite

const std::string index_page = "<html><body>root index</body></html>";

class web_server_fixture : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        folder = std::make_unique<kestrel_test::temp_folder_t>("kestrel-web");
        test_dir = folder->path();
        std::filesystem::create_directories(test_dir + "/root/sub");
        write_file(test_dir + "/root/index.htm", index_page);
        write_file(test_dir + "/root/sub/index.htm", "sub index");
        write_file(test_dir + "/root/sub/preview.jpg", "not the live picture");
        write_file(test_dir + "/root/data.bin", std::string("\0\1\2\3", 4));
        write_file(test_dir + "/root/PHOTO.JPG", "jpeg?");
        write_file(test_dir + "/root/style.css", "body{}");
        write_file(test_dir + "/secret.txt", "secret");
        log_path = test_dir + "/kestrel.log";
        log_open(true, false, log_path.c_str(), "w");
    }
    static void TearDownTestSuite()
    {
        log_close();
        folder.reset();
    }

    void SetUp() override
    {
        configure([](settings_t& s) {
            s.login = "user";
            s.password = "pw";
            s.root = test_dir + "/root/";
            s.sizeof_in = 10240;
            s.sizeof_out = 1048576;
            s.main_interval = 1;
            s.exe_path = "/opt/kestrel/kestrel";
            auth_lockout.set_limits(auth_lockout_limits_t());  // every test starts unlocked
        });
        {
            loopback::listener_t probe;
            port = probe.port;
        }
        ASSERT_TRUE(web_server.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port));
        ASSERT_TRUE(web_server.activate(true));
        ASSERT_TRUE(web_server_thread.start());
    }
    void TearDown() override
    {
        web_server_thread.stop();
        web_server.deactivate();
    }

    // Changes web settings the way the GUI thread does: under server_lock,
    // then ends the thread's wait.
    static void configure(const std::function<void(settings_t&)>& change)
    {
        web_server.enter();
        change(settings);
        web_server.leave();
        web_server.wake();
    }

    static std::string get(const std::string& target, const std::string& extra = "")
    {
        return "GET " + target + " HTTP/1.1\r\nHost: cam.local:8080\r\n" + extra + "\r\n";
    }
    static std::string authorization(const std::string& pair = "user:pw")
    {
        return "Authorization: Basic " + base64_encode(pair.data(), pair.size()) + "\r\n";
    }
    static std::string authorized_get(const std::string& target) { return get(target, authorization()); }

    // The status of one authorised request on a new connection ("" when the
    // connection closed without an answer).
    std::string status_of(const std::string& request)
    {
        connection_t client(port);
        response_t response;
        return client.exchange(request, response) ? response.status() : std::string();
    }

    uint16_t port = 0;
};

TEST_F(web_server_fixture, unauthorised_request_gets_401_with_realm_then_200)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(get("/"), response));
    EXPECT_EQ(response.header,
              "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"kestrel\"\r\n"
              "Content-Type: text/plain\r\nContent-Length: 16\r\n\r\n");
    EXPECT_EQ(response.body, "401 Unauthorized");

    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    struct stat status {};
    ASSERT_EQ(stat((test_dir + "/root/index.htm").c_str(), &status), 0);
    EXPECT_EQ(response.header, "HTTP/1.1 200 OK\r\nLast-Modified: " + http_date(status.st_mtime) +
                                   "\r\nContent-Type: text/html\r\nContent-Length: " +
                                   std::to_string(index_page.size()) + "\r\n\r\n");
    EXPECT_EQ(response.body, index_page);
}

TEST_F(web_server_fixture, authorisation_persists_on_the_connection)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    EXPECT_EQ(response.status(), "200 OK");
    for (const char* target : {"/sub/", "/style.css", "/"}) {
        ASSERT_TRUE(client.exchange(get(target), response)) << target;
        EXPECT_EQ(response.status(), "200 OK") << target;
    }
    // A new connection starts unauthorised.
    EXPECT_EQ(status_of(get("/")), "401 Unauthorized");
}

TEST_F(web_server_fixture, fifth_attempt_of_a_connection_is_forbidden_without_a_check)
{
    connection_t client(port);
    response_t response;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        ASSERT_TRUE(client.exchange(get("/", authorization("user:wrong")), response));
        EXPECT_EQ(response.status(), "401 Unauthorized") << attempt;
    }
    // Even the right credentials are no longer looked at.
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    EXPECT_EQ(response.status(), "403 Forbidden");
    EXPECT_EQ(response.body, "403 Forbidden");
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
}

TEST_F(web_server_fixture, an_address_failing_over_many_connections_is_locked_out_until_it_expires)
{
    auth_lockout_limits_t limits;
    limits.failures = 6;
    limits.lock_ms = 1000;
    configure([&limits](settings_t&) { auth_lockout.set_limits(limits); });
    log_open(true, false, log_path.c_str(), "w");

    connection_t earlier(port);  // authorised before the lock-out: keeps its rights
    response_t response;
    ASSERT_TRUE(earlier.exchange(authorized_get("/"), response));
    // Requests without credentials are questions, not failures.
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(status_of(get("/")), "401 Unauthorized");
    // Three connections with two wrong guesses each: the sixth locks.
    for (int c = 0; c < 3; ++c) {
        connection_t client(port);
        for (int guess = 0; guess < 2; ++guess) {
            ASSERT_TRUE(client.exchange(get("/", authorization("user:guess" + std::to_string(guess))), response));
            EXPECT_EQ(response.status(), "401 Unauthorized");
        }
    }
    // New connections, even with the right credentials, get 403 without a check.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(status_of(authorized_get("/")), "403 Forbidden");
    ASSERT_TRUE(earlier.exchange(get("/style.css"), response));
    EXPECT_EQ(response.status(), "200 OK");
    const std::string log = http_client::read_file(log_path);
    const std::string locked = ") address locked out for 1 s after 6 failed authorizations\r\n";
    ASSERT_NE(log.find(locked), std::string::npos) << log;
    EXPECT_EQ(log.find(locked), log.rfind(locked));  // logged once

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
}

TEST(auth_lockout, only_failures_within_the_window_count_and_the_table_stays_bounded)
{
    auth_lockout_t table;
    auth_lockout_limits_t limits;
    limits.failures = 3;
    limits.window_ms = 100;
    limits.lock_ms = 50;
    limits.max_addresses = 2;
    table.set_limits(limits);
    // Spread wider than the window: never locks.
    for (int64_t t = 0; t < 1000; t += 60)
        EXPECT_FALSE(table.note_failure("a", t));
    EXPECT_FALSE(table.locked("a", 1000));
    // Three within the window lock for lock_ms, then the address starts afresh.
    EXPECT_FALSE(table.note_failure("b", 0));
    EXPECT_FALSE(table.note_failure("b", 40));
    EXPECT_TRUE(table.note_failure("b", 80));
    EXPECT_FALSE(table.note_failure("b", 90));  // already locked: not reported again
    EXPECT_TRUE(table.locked("b", 129));
    EXPECT_FALSE(table.locked("b", 130));
    EXPECT_FALSE(table.note_failure("b", 131));
    EXPECT_FALSE(table.locked("b", 131));
    // A full table makes room from expired entries only.
    EXPECT_FALSE(table.note_failure("c", 1000));
    EXPECT_EQ(table.tracked(), 2u);  // "b" (expired) gave way to it; "a" is still counting
    EXPECT_FALSE(table.note_failure("d", 1010));  // nothing expired: "d" goes unseen
    EXPECT_EQ(table.tracked(), 2u);
}

TEST_F(web_server_fixture, credential_variants)
{
    struct {
        std::string request;
        const char* status;
    } cases[] = {
        {get("/", "authorization: Basic dXNlcjpwdw==\r\n"), "401 Unauthorized"},
        {get("/", "Authorization: basic dXNlcjpwdw==\r\n"), "401 Unauthorized"},
        {get("/", "Authorization:  Basic dXNlcjpwdw==\r\n"), "401 Unauthorized"},
        {get("/", authorization("user:pw ")), "401 Unauthorized"},
        {get("/", "Authorization: Basic dXNlcjpwdw==\r\n"), "200 OK"},
        {"GET http://user:pw@cam.local/ HTTP/1.1\r\n\r\n", "200 OK"},
        {"GET http://user:no@cam.local/ HTTP/1.1\r\n\r\n", "401 Unauthorized"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(status_of(c.request), c.status) << c.request;
}

TEST_F(web_server_fixture, empty_login_and_password_serve_without_credentials)
{
    configure([](settings_t& s) {
        s.login.clear();
        s.password.clear();
    });
    EXPECT_EQ(status_of(get("/")), "200 OK");
}

TEST_F(web_server_fixture, routing_statuses)
{
    struct {
        const char* target;
        const char* status;
        const char* content_type;
    } cases[] = {
        {"/", "200 OK", "text/html"},
        {"/sub/", "200 OK", "text/html"},
        {"/style.css", "200 OK", "text/css"},
        {"/data.bin", "200 OK", "application/octet-stream"},
        {"/PHOTO.JPG", "200 OK", "application/octet-stream"},
        {"/index.htm?q=90&w=1", "200 OK", "text/html"},
        {"/missing.htm", "404 Not Found", "text/plain"},
        {"/sub/missing/", "404 Not Found", "text/plain"},
        {"/../secret.txt", "403 Forbidden", "text/plain"},
        {"/..\\secret.txt", "403 Forbidden", "text/plain"},
        {"/sub/../../secret.txt", "403 Forbidden", "text/plain"},
        {"/x..y", "403 Forbidden", "text/plain"},
        {"/sub/../index.htm", "200 OK", "text/html"},
        // The live picture, not the file of that name.
        {"/sub/preview.jpg", "500 Internal Server Error", "text/plain"},
    };
    for (const auto& c : cases) {
        connection_t client(port);
        response_t response;
        ASSERT_TRUE(client.exchange(authorized_get(c.target), response)) << c.target;
        EXPECT_EQ(response.status(), c.status) << c.target;
        EXPECT_EQ(response.field("Content-Type"), c.content_type) << c.target;
    }
    // Traversal is only looked at once the connection is authorised.
    EXPECT_EQ(status_of(get("/../secret.txt")), "401 Unauthorized");
}

TEST_F(web_server_fixture, folder_without_slash_is_redirected_with_host_and_query)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/sub?a=1"), response));
    EXPECT_EQ(response.status(), "302 Found");
    EXPECT_EQ(response.field("Location"), "http://cam.local:8080/sub/?a=1");
    EXPECT_EQ(response.body, "302 Found");
    ASSERT_TRUE(client.exchange("GET /sub HTTP/1.1\r\n\r\n", response));
    EXPECT_EQ(response.field("Location"), "http:///sub/");
}

TEST_F(web_server_fixture, pipelined_requests_are_answered_in_order_by_one_send)
{
    connection_t client(port);
    ASSERT_TRUE(client.send_text(authorized_get("/style.css") + get("/missing") + get("/sub/")));
    response_t first, second, third;
    ASSERT_TRUE(client.read_response(first));
    ASSERT_TRUE(client.read_response(second));
    ASSERT_TRUE(client.read_response(third));
    EXPECT_EQ(first.body, "body{}");
    EXPECT_EQ(second.status(), "404 Not Found");
    EXPECT_EQ(third.body, "sub index");
    ASSERT_TRUE(http_client::wait_for_text(log_path, "job _send finished with result success"));
    // The three answers left in one send job.
    std::string log = http_client::read_file(log_path);
    size_t batch = log.rfind("etx detected");
    ASSERT_NE(batch, std::string::npos);
    size_t sends = 0;
    for (size_t at = log.find("job _send activated", batch); at != std::string::npos;
         at = log.find("job _send activated", at + 1))
        ++sends;
    EXPECT_EQ(sends, 1u);
}

TEST_F(web_server_fixture, requests_that_close_the_connection_without_an_answer)
{
    const std::string requests[] = {
        authorized_get("/") + "GET / HTTP/1.1\r\nbroken\r\n\r\n",  // second one broken: nothing sent
        "GET / HTTP/1.0\r\n" + authorization() + "\r\n",
        "HEAD / HTTP/1.1\r\n" + authorization() + "\r\n",
        "POST / HTTP/1.1\r\n" + authorization() + "\r\n",
        "GET /a@b HTTP/1.1\r\n" + authorization() + "\r\n",
        "GET ftp://h/ HTTP/1.1\r\n" + authorization() + "\r\n",
        "GET /index.htm?flag HTTP/1.1\r\n" + authorization() + "\r\n",
        "GET /index.htm?w=1& HTTP/1.1\r\n" + authorization() + "\r\n",
        "\r\n\r\n",
        "GET\r\n\r\n",
        // A folder redirect would echo a line break of the Host value.
        "GET /sub HTTP/1.1\r\nHost: a\nSet-Cookie: x=1\r\n" + authorization() + "\r\n",
        "GET /sub?a=\n HTTP/1.1\r\n" + authorization() + "\r\n",
    };
    for (const std::string& request : requests) {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(request));
        EXPECT_TRUE(client.closed_silently()) << request << " got: " << client.pending;
    }
    // The server still serves.
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
}

TEST_F(web_server_fixture, nul_byte_in_a_path_does_not_cut_the_name_short)
{
    std::string request = authorized_get(std::string("/index.htm\0.css", 15));
    EXPECT_EQ(status_of(request), "404 Not Found");
}

TEST_F(web_server_fixture, special_files_are_not_opened)
{
    ASSERT_EQ(mkfifo((test_dir + "/root/pipe").c_str(), 0600), 0);
    // Opening a FIFO for reading would block the server thread for good.
    EXPECT_EQ(status_of(authorized_get("/pipe")), "404 Not Found");
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
    std::filesystem::remove(test_dir + "/root/pipe");
}

// The size of the 200 header of a file with this name, size and time.
size_t file_header_size(const char* type, size_t size, time_t modified)
{
    return std::string("HTTP/1.1 200 OK\r\nLast-Modified: " + http_date(modified) +
                       "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(size) +
                       "\r\n\r\n")
        .size();
}

TEST_F(web_server_fixture, a_file_exactly_filling_the_room_is_sent_whole_one_byte_more_in_pieces)
{
    const size_t size = 5000;
    const time_t modified = 1700000000;
    for (const char* name : {"/root/exact.bin", "/root/over.bin"}) {
        std::string path = test_dir + name;
        write_file(path, std::string(name[6] == 'e' ? size : size + 1, 'z'));
        utimbuf times{modified, modified};
        utime(path.c_str(), &times);
    }
    int32_t room = static_cast<int32_t>(file_header_size("application/octet-stream", size, modified) + size);
    configure([&](settings_t& s) {
        s.sizeof_out = room;
        s.login.clear();
        s.password.clear();
    });
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(get("/exact.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body.size(), size);
    EXPECT_EQ(response.header.size() + response.body.size(), static_cast<size_t>(room));
    ASSERT_TRUE(client.exchange(get("/over.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body, std::string(size + 1, 'z'));
    ASSERT_TRUE(client.exchange(get("/exact.bin"), response));
    EXPECT_EQ(response.status(), "200 OK");

    // In a batch, the room is what the earlier answers left; the rest of a
    // file follows, and the answers behind it come after it.
    ASSERT_TRUE(client.send_text(get("/style.css") + get("/exact.bin") + get("/style.css")));
    response_t first, last;
    ASSERT_TRUE(client.read_response(first));
    ASSERT_TRUE(client.read_response(response));
    ASSERT_TRUE(client.read_response(last));
    EXPECT_EQ(first.status(), "200 OK");
    EXPECT_EQ(response.status(), "200 OK");
    EXPECT_EQ(response.body, std::string(size, 'z'));
    EXPECT_EQ(last.body, first.body);
}

TEST_F(web_server_fixture, media_index_keeps_to_the_root_and_to_the_buffer)
{
    const std::string photos = test_dir + "/root/photos/";
    std::filesystem::create_directories(photos);
    for (int i = 10; i < 40; ++i)
        write_file(photos + "2026-01-01 00-00-" + std::to_string(i) + " (UTC).jpg", "p");
    configure([&](settings_t& s) {
        s.login.clear();
        s.password.clear();
        s.img_path = photos;
        s.rec_path = test_dir + "/";  // the root's parent: outside it
        s.sizeof_out = 1000;
    });
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(get("/media.json"), response));
    const std::string& body = response.body;
    EXPECT_EQ(body.rfind("{\"complete\":false,\"recordings\":null,\"photos\":{\"folder\":\"photos/\","
                         "\"files\":[{\"name\":\"2026-01-01 00-00-39 (UTC).jpg\",\"size\":1,",
                         0),
              0u)
        << body;
    EXPECT_NE(body.find("00-00-38"), std::string::npos);
    EXPECT_EQ(body.find("00-00-10"), std::string::npos);
    EXPECT_LE(response.header.size() + body.size(), 1000u);
    // Behind another answer the list waits for an empty buffer rather than
    // come shorter still.
    ASSERT_TRUE(client.send_text(get("/style.css") + get("/media.json")));
    response_t first, second;
    ASSERT_TRUE(client.read_response(first));
    ASSERT_TRUE(client.read_response(second));
    EXPECT_EQ(second.body, body);
    // Buffer sizes apply to new connections.
    configure([](settings_t& s) { s.sizeof_out = 1048576; });
    connection_t roomy(port);
    ASSERT_TRUE(roomy.exchange(get("/media.json"), response));
    EXPECT_NE(response.body.find("\"complete\":true"), std::string::npos);
    EXPECT_NE(response.body.find("00-00-10"), std::string::npos);
}

TEST_F(web_server_fixture, answers_that_do_not_fit_an_empty_buffer_close_the_connection)
{
    // 401 with its realm line needs more than 100 bytes.
    configure([](settings_t& s) { s.sizeof_out = 100; });
    {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(get("/")));
        EXPECT_TRUE(client.closed_silently());
    }
    // A redirect whose Location outgrows the room; the 404 beside it fits.
    configure([](settings_t& s) {
        s.sizeof_out = 300;
        s.login.clear();
        s.password.clear();
    });
    EXPECT_EQ(status_of(get("/nothing")), "404 Not Found");
    {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(get("/sub?" + std::string(400, 'q') + "=1")));
        EXPECT_TRUE(client.closed_silently());
    }
    // Answers that no longer fit behind the first go out with later sends.
    {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(get("/nothing") + get("/nothing") + get("/nothing") + get("/nothing")));
        for (int i = 0; i < 4; ++i) {
            response_t response;
            ASSERT_TRUE(client.read_response(response)) << i;
            EXPECT_EQ(response.status(), "404 Not Found");
        }
    }
    std::string log = http_client::read_file(log_path);
    EXPECT_NE(log.find("error detected"), std::string::npos);
    configure([](settings_t& s) { s.sizeof_out = 1048576; });
    EXPECT_EQ(status_of(get("/")), "200 OK");
}

TEST_F(web_server_fixture, header_block_larger_than_the_input_buffer_closes_the_connection)
{
    configure([](settings_t& s) { s.sizeof_in = 512; });
    connection_t client(port);
    ASSERT_TRUE(client.send_text("GET / HTTP/1.1\r\nX-Long: " + std::string(1000, 'a') + "\r\n\r\n"));
    EXPECT_TRUE(client.closed_silently());
    ASSERT_TRUE(http_client::wait_for_text(log_path, "job _recv finished with result success"));
}

TEST_F(web_server_fixture, request_exactly_filling_the_input_buffer_is_answered)
{
    std::string request = authorized_get("/style.css");
    configure([&](settings_t& s) { s.sizeof_in = static_cast<int32_t>(request.size()); });
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(request, response));
    EXPECT_EQ(response.body, "body{}");
}

TEST_F(web_server_fixture, request_with_a_body_is_not_answered_until_the_buffer_fills)
{
    configure([](settings_t& s) { s.sizeof_in = 1024; });
    connection_t client(port);
    ASSERT_TRUE(client.send_text(authorized_get("/").substr(0, 20)));
    std::string rest = authorized_get("/").substr(20);
    rest.insert(rest.size() - 2, "Content-Length: 5\r\n");
    ASSERT_TRUE(client.send_text(rest + "hello"));
    response_t response;
    EXPECT_FALSE(client.read_response(response, 300));
    EXPECT_FALSE(client.ended);
    ASSERT_TRUE(client.send_text(std::string(1024, 'b')));
    EXPECT_TRUE(client.closed_silently());
}

TEST_F(web_server_fixture, client_reset_mid_response_leaves_the_server_serving)
{
    write_file(test_dir + "/root/big.bin", std::string(4 * 1024 * 1024, 'B'));
    configure([](settings_t& s) { s.sizeof_out = 5 * 1024 * 1024; });
    for (int round = 0; round < 3; ++round) {
        connection_t client(port);
        int small = 4096;
        setsockopt(client.sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        ASSERT_TRUE(client.send_text(authorized_get("/big.bin")));
        char some[1024];
        ASSERT_GT(recv(client.sock, some, sizeof(some), 0), 0);
        loopback::close_with_reset(client.sock);
        client.sock = -1;
    }
    ASSERT_TRUE(http_client::wait_for_text(log_path, "job _send finished with result send_failed"));
    EXPECT_EQ(status_of(authorized_get("/")), "200 OK");
    std::filesystem::remove(test_dir + "/root/big.bin");
}

TEST_F(web_server_fixture, log_lines_of_one_connection)
{
    log_open(true, false, log_path.c_str(), "w");  // an empty log for this test
    {
        connection_t client(port);
        response_t response;
        ASSERT_TRUE(client.exchange(authorized_get("/missing"), response));
    }
    ASSERT_TRUE(http_client::wait_for_text(log_path, ") disconnected"));
    std::string log = http_client::read_file(log_path);
    const std::string separator = "//---------------------------------------------------------------------------\r\n";
    const char* in_order[] = {
        ") connected\r\n",
        ") job _recv activated\r\n",
        ") etx detected\r\n",
        ") job _recv finished with result aborted\r\n",
        ") authorization detected\r\n",
        ") error detected\r\n",
        ") header to send\r\n",
        ") job _send activated\r\n",
        ") job _send finished with result success\r\n",
        ") job _recv activated\r\n",
        ") job _recv finished with result connection_closed\r\n",
        ") disconnected\r\n",
    };
    size_t at = 0;
    for (const char* line : in_order) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << line << "\n" << log;
        at = found + 1;
    }
    // Each line names the peer; the blocks carry the request and the header.
    EXPECT_NE(log.find(" node (ip = 127.0.0.1, port = "), std::string::npos);
    EXPECT_NE(log.find(") etx detected\r\n" + separator + "GET /missing HTTP/1.1\r\r\nHost: cam.local:8080\r\r\n"),
              std::string::npos);
    EXPECT_NE(log.find(") header to send\r\n" + separator +
                       "HTTP/1.1 404 Not Found\r\r\nContent-Type: text/plain\r\r\nContent-Length: 13\r\r\n\r\n" +
                       separator),
              std::string::npos);
}

TEST_F(web_server_fixture, deactivation_closes_open_connections_with_their_log_lines)
{
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    ASSERT_TRUE(http_client::wait_for_text(log_path, "job _send finished with result success"));
    log_open(true, false, log_path.c_str(), "w");
    web_server_thread.stop();
    web_server.deactivate();
    std::string log = http_client::read_file(log_path);
    size_t aborted = log.find(") job _recv finished with result aborted\r\n");
    size_t disconnected = log.find(") disconnected\r\n");
    ASSERT_NE(aborted, std::string::npos);
    ASSERT_NE(disconnected, std::string::npos);
    EXPECT_LT(aborted, disconnected);
    EXPECT_TRUE(client.closed_silently());
}

TEST_F(web_server_fixture, bind_failure_is_logged_by_name)
{
    simple_server second;
    ASSERT_TRUE(second.initialize(AF_INET, SOCK_STREAM, IPPROTO_TCP, "127.0.0.1", port));
    EXPECT_FALSE(second.activate(true));
    EXPECT_TRUE(http_client::wait_for_text(log_path, " server function call finished with error bind_failed\r\n"));
}

// ---- route table ---------------------------------------------------------

// A route that answers with its name and how many requests its object has
// answered, and remembers what it observed.
class echo_route : public route_handler {
public:
    explicit echo_route(std::string name) : name(std::move(name)) {}
    void observe(const route_request_t& request) override { observed.push_back(request.name); }
    route_answer_t answer(route_connection&, const route_request_t& request, route_slot_t& slot) override
    {
        ++answered;
        const std::string body = name + " " + std::to_string(answered) + " " + request.name;
        slot.length = error_response(slot.at, slot.room, &slot.header_length, "200 OK", {}, nullptr, body);
        return slot.length < 0 ? route_answer_t::no_room : route_answer_t::response;
    }
    std::string name;
    int answered = 0;
    std::vector<std::string> observed;
};

route_factory_t echo(const std::string& name)
{
    return [name] { return std::make_unique<echo_route>(name); };
}

// A route_connection for route_set without a socket.
class quiet_connection : public route_connection {
public:
    void log_event(const std::string&) override {}
    void log_block(const std::string&, const std::string&) override {}
    std::string peer_address() const override { return "127.0.0.1"; }
    int64_t turn_started_us() const override { return 0; }
};

// Routes a GET of target through set; the answer's body, or the answer
// kind's name when there is none.
std::string route_body(route_set& set, const std::string& target, const std::string& method = "GET")
{
    route_request_t request;
    request.method = method;
    const size_t question = target.find('?');
    request.path = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    request.query_begin = query.data();
    request.query_end = query.data() + query.size();
    char buffer[512];
    route_slot_t slot{buffer, sizeof buffer};
    quiet_connection connection;
    route_handler* handler = nullptr;
    switch (set.answer(connection, request, slot, handler)) {
    case route_answer_t::response:
        return std::string(buffer + slot.header_length, buffer + slot.length);
    case route_answer_t::refused:
        return "refused";
    default:
        return "other";
    }
}

TEST(route_table, names_are_found_by_whole_path_or_last_component_and_the_rest_falls_back)
{
    settings.root = "/srv/root/";
    route_table table;
    table.set_fallback(echo("files"));
    table.add("index.json", echo("whole"));
    table.add("live.jpg", echo("last"), route_match_t::last_component);
    table.add("live.jpg", echo("last again"), route_match_t::last_component);  // replaces
    // A whole path before the same name as a last component.
    table.add("both.txt", echo("whole both"));
    table.add("both.txt", echo("last both"), route_match_t::last_component);
    route_set set(table);

    EXPECT_EQ(route_body(set, "index.json"), "whole 1 index.json");
    EXPECT_EQ(route_body(set, "sub/index.json"), "files 1 sub/index.json");
    EXPECT_EQ(route_body(set, "live.jpg"), "last again 1 live.jpg");
    EXPECT_EQ(route_body(set, "a/b/live.jpg?w=1"), "last again 2 a/b/live.jpg");
    EXPECT_EQ(route_body(set, "live.jpg.txt"), "files 2 live.jpg.txt");
    EXPECT_EQ(route_body(set, "both.txt"), "whole both 1 both.txt");
    EXPECT_EQ(route_body(set, "sub/both.txt"), "last both 1 sub/both.txt");
    // The name looked up is the decoded one; a folder is its index.htm.
    EXPECT_EQ(route_body(set, "sub%2Flive.jpg"), "last again 3 sub/live.jpg");
    EXPECT_EQ(route_body(set, ""), "files 3 ");
    EXPECT_EQ(route_body(set, "unknown/"), "files 4 unknown/");
}

TEST(route_table, refusals_and_403_come_before_any_route_and_every_route_observes)
{
    settings.root = "/srv/root/";
    route_table table;
    table.add("a.txt", echo("a"));
    table.add("b.txt", echo("b"), route_match_t::last_component);
    route_set set(table);
    EXPECT_EQ(route_body(set, "a.txt", "HEAD"), "refused");
    EXPECT_EQ(route_body(set, "a.txt?flag"), "refused");
    EXPECT_EQ(route_body(set, "../a.txt"), "403 Forbidden");
    // Without a fallback an unknown name is simply missing.
    EXPECT_EQ(route_body(set, "c.txt"), "404 Not Found");
    EXPECT_EQ(route_body(set, "a.txt"), "a 1 a.txt");

    // Both routes saw every GET with a good query, the 403 and 404 included.
    route_request_t request;
    request.name = "a.txt";
    auto* a = dynamic_cast<echo_route*>(set.find(request));
    request.name = "b.txt";
    request.file_path = settings.root + "b.txt";
    auto* b = dynamic_cast<echo_route*>(set.find(request));
    ASSERT_TRUE(a && b);
    const std::vector<std::string> seen{"../a.txt", "c.txt", "a.txt"};
    EXPECT_EQ(a->observed, seen);
    EXPECT_EQ(b->observed, seen);
    EXPECT_EQ(b->answered, 0);
}

TEST_F(web_server_fixture, each_connection_has_its_own_route_objects)
{
    web_server.enter();
    web_routes().add("count.txt", echo("count"));
    web_server.leave();
    connection_t first(port), second(port);
    response_t response;
    ASSERT_TRUE(first.exchange(authorized_get("/count.txt"), response));
    EXPECT_EQ(response.body, "count 1 count.txt");
    ASSERT_TRUE(first.exchange(authorized_get("/count.txt"), response));
    EXPECT_EQ(response.body, "count 2 count.txt");
    ASSERT_TRUE(second.exchange(authorized_get("/count.txt"), response));
    EXPECT_EQ(response.body, "count 1 count.txt");
    // Only the whole path is that route; below a folder it is a file.
    ASSERT_TRUE(second.exchange(authorized_get("/sub/count.txt"), response));
    EXPECT_EQ(response.status(), "404 Not Found");
}

// What the test thread shares with the routes below on the server thread.
std::atomic<bool> later_ready{false};
std::mutex ticker_mutex;
std::shared_ptr<route_signal_t> ticker_signal;  // the newest ticker's
std::atomic<int> tickers_gone{0};

// Answers once later_ready is set, asking again every 10 ms meanwhile.
class later_route : public route_handler {
public:
    route_answer_t answer(route_connection&, const route_request_t&, route_slot_t& slot) override
    {
        if (!later_ready)
            return route_answer_t::later;
        return route_short_answer(slot, "200 OK");
    }
    int64_t due_ms() const override { return se_clock_ms() + 10; }
};

// A stream whose parts another thread makes ready through its signal.
class ticker_route : public route_handler {
public:
    route_answer_t answer(route_connection&, const route_request_t&, route_slot_t& slot) override
    {
        const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
        if (int64_t(header.size()) > slot.room)
            return route_answer_t::no_room;
        header.copy(slot.at, header.size());
        slot.length = slot.header_length = int32_t(header.size());
        streaming = true;
        std::lock_guard<std::mutex> guard(ticker_mutex);
        ticker_signal = signal;
        return route_answer_t::response;
    }
    route_mode_t mode() const override { return streaming ? route_mode_t::stream : route_mode_t::answered; }
    int32_t stream_part(route_connection&, char* buffer, int32_t size) override
    {
        if (!signal->take())
            return 0;
        const std::string part = "tick " + std::to_string(++ticks) + "\n";
        if (int64_t(part.size()) > size)
            return -1;
        part.copy(buffer, part.size());
        return int32_t(part.size());
    }
    int64_t due_ms() const override { return signal->raised() ? 0 : -1; }
    void on_disconnected() override { ++tickers_gone; }

private:
    std::shared_ptr<route_signal_t> signal = std::make_shared<route_signal_t>();
    bool streaming = false;
    int ticks = 0;
};

// Waits until the client has received text, within timeout_ms.
bool receives(connection_t& client, const std::string& text, int timeout_ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (client.pending.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        client.receive(100);
    }
    return true;
}

TEST_F(web_server_fixture, a_later_answer_holds_the_batch_until_its_route_is_ready)
{
    later_ready = false;
    web_server.enter();
    web_routes().add("later.txt", [] { return std::make_unique<later_route>(); });
    web_server.leave();
    connection_t client(port);
    ASSERT_TRUE(client.send_text(authorized_get("/later.txt") + get("/style.css")));
    EXPECT_FALSE(client.receive(300));
    later_ready = true;
    response_t response;
    ASSERT_TRUE(client.read_response(response));
    EXPECT_EQ(response.body, "200 OK");
    ASSERT_TRUE(client.read_response(response));
    EXPECT_EQ(response.body, "body{}");
}

// The server's wait would last a minute: only the signal's wake-up brings
// each part.
TEST_F(web_server_fixture, a_stream_part_made_ready_on_another_thread_goes_out_at_once)
{
    configure([](settings_t& s) { s.main_interval = 60000; });
    web_server.enter();
    web_routes().add("ticker", [] { return std::make_unique<ticker_route>(); }, route_match_t::last_component);
    web_server.leave();
    const int gone_before = tickers_gone;
    auto raise = [] {
        std::lock_guard<std::mutex> guard(ticker_mutex);
        ticker_signal->raise();
    };
    {
        connection_t client(port);
        ASSERT_TRUE(client.send_text(authorized_get("/sub/ticker")));
        ASSERT_TRUE(receives(client, "Content-Type: text/plain\r\n\r\n"));
        // Further requests are not read: the stream owns the connection.
        ASSERT_TRUE(client.send_text(authorized_get("/style.css")));
        std::thread([&] { raise(); }).join();
        ASSERT_TRUE(receives(client, "tick 1\n"));
        // No part without a raise.
        EXPECT_FALSE(client.receive(300));
        raise();
        ASSERT_TRUE(receives(client, "tick 2\n"));
        raise();
        ASSERT_TRUE(receives(client, "tick 3\n"));
        EXPECT_EQ(client.pending.find("HTTP/1.1", 10), std::string::npos);
    }
    // The connection's going reaches its route; a raise after it is harmless.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (tickers_gone == gone_before && std::chrono::steady_clock::now() < deadline) {
        raise();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(tickers_gone, gone_before + 1);
    raise();
}


// ---- pace ----------------------------------------------------------------

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// At main_interval 1000 a fixed pause between steps would take 2 s for each
// of these requests (received in one step, answered in the next) and 1 s for
// each accept: 40 s and 50 s. The bounds only tell those apart.
TEST_F(web_server_fixture, keep_alive_requests_and_new_connections_do_not_wait_for_the_interval)
{
    configure([](settings_t& s) { s.main_interval = 1000; });
    const auto start = steady_clock::now();
    connection_t client(port);
    response_t response;
    for (int request = 0; request < 20; ++request) {
        ASSERT_TRUE(client.exchange(authorized_get("/style.css"), response)) << request;
        EXPECT_EQ(response.body, "body{}");
    }
    EXPECT_LT(steady_clock::now() - start, seconds(10));

    const auto burst = steady_clock::now();
    std::vector<std::unique_ptr<connection_t>> clients;
    for (int n = 0; n < 50; ++n) {
        clients.push_back(std::make_unique<connection_t>(port));
        ASSERT_TRUE(clients.back()->send_text(authorized_get("/style.css")));
    }
    for (auto& each : clients) {
        ASSERT_TRUE(each->read_response(response, 20000));
        EXPECT_EQ(response.body, "body{}");
    }
    EXPECT_LT(steady_clock::now() - burst, seconds(15));
}

TEST_F(web_server_fixture, an_idle_thread_steps_once_per_interval_and_stops_at_once)
{
    configure([](settings_t& s) { s.main_interval = 250; });
    // A connection waiting for its next request changes nothing.
    connection_t client(port);
    response_t response;
    ASSERT_TRUE(client.exchange(authorized_get("/"), response));
    auto steps = [] {
        mt_guard_t guard(web_server);
        return web_server.step_count();
    };
    const uint64_t before = steps();
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_LE(steps() - before, 6u);

    configure([](settings_t& s) { s.main_interval = 60000; });
    const auto stopping = steady_clock::now();
    web_server_thread.stop();
    EXPECT_LT(steady_clock::now() - stopping, seconds(5));
}

}  // namespace
