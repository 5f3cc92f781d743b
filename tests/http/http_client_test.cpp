// The HTTP client: responses cut anywhere, chunked bodies, lengths that lie,
// sizes over the limit; and over a loopback socket, a server that sends its
// answer in pieces, one that never answers (the deadline holds) and a port
// where nothing listens.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "http/http_client.h"

namespace {

using namespace std::chrono;

http_parse_result_t parse(const std::string& text, bool closed, size_t limit,
                          http_response_t* response)
{
    return parse_http_response(text.data(), text.data() + text.size(), closed, limit, response);
}

TEST(http_response, whole_answers_and_every_cut_of_them)
{
    struct {
        const char* text;
        int32_t status;
        const char* body;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX: y\r\n\r\nhello", 200, "hello"},
        {"HTTP/1.1 400 Bad Request\r\ncontent-length:2 \r\n\r\nab", 400, "ab"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\nA\r\n0123456789"
         "\r\n0\r\nTrailer: t\r\n\r\n",
         200, "abc0123456789"},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz", 200, "z"},
    };
    for (const auto& c : cases) {
        const std::string text = c.text;
        http_response_t r;
        ASSERT_EQ(parse(text, false, 100, &r), http_parse_result_t::complete) << text;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.body);
        // Every shorter piece waits for more, and is broken when the peer closed.
        for (size_t cut = 0; cut < text.size(); ++cut) {
            const std::string part = text.substr(0, cut);
            EXPECT_EQ(parse(part, false, 100, &r), http_parse_result_t::incomplete) << part;
            EXPECT_EQ(parse(part, true, 100, &r), http_parse_result_t::bad) << part;
        }
    }
    http_response_t r;
    ASSERT_EQ(parse("HTTP/1.0 200 OK\r\nServer: s\r\n\r\nuntil close", true, 100, &r),
              http_parse_result_t::complete);
    EXPECT_EQ(r.body, "until close");
    EXPECT_EQ(r.headers["server"], "s");
}

TEST(http_response, garbage_lies_and_oversize_are_bad)
{
    const char* cases[] = {
        "\x16\x03\x01\x02\x00\x01",
        "RTSP/1.0 400 Bad Request\r\n\r\n",
        "HTTP/1.1 2000 OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nno colon\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n",  // over the limit of 10
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffff\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nb\r\n0123456789a\r\n0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n",
    };
    for (const char* text : cases) {
        http_response_t r;
        EXPECT_EQ(parse(text, false, 10, &r), http_parse_result_t::bad) << text;
    }
    http_response_t r;
    EXPECT_EQ(parse(std::string(20000, 'H'), false, 10, &r), http_parse_result_t::bad);
}

// A loopback server that accepts one connection and runs a script on it.
class one_shot_server_t {
public:
    explicit one_shot_server_t(void (*script)(int fd))
    {
        listen_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(listen_fd, reinterpret_cast<sockaddr*>(&a), n);
        listen(listen_fd, 4);
        getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        thread = std::thread([this, script] {
            const int fd = accept(listen_fd, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                close(fd);
            }
        });
    }
    ~one_shot_server_t()
    {
        shutdown(listen_fd, SHUT_RDWR);
        thread.join();
        close(listen_fd);
    }
    int listen_fd = -1;
    uint16_t port = 0;
    std::thread thread;
};

http_request_t question(uint16_t port)
{
    return {"127.0.0.1", port, "/onvif/device_service", "application/soap+xml", "<q/>"};
}

TEST(http_post, answer_in_pieces_arrives_whole)
{
    static std::string seen;
    one_shot_server_t server([](int fd) {
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        seen.assign(buffer, size_t(n > 0 ? n : 0));
        for (const char* piece : {"HTTP/1.1 200 OK\r\nTransfer-Enc", "oding: chunked\r\n\r\n4\r",
                                  "\nabcd\r\n0\r\n\r\n"}) {
            send(fd, piece, strlen(piece), MSG_NOSIGNAL);
            std::this_thread::sleep_for(milliseconds(30));
        }
        std::this_thread::sleep_for(milliseconds(900));  // keeps the connection open
    });
    http_response_t r;
    std::string reason;
    const auto start = steady_clock::now();
    ASSERT_TRUE(http_post(question(server.port), steady_clock::now() + seconds(5), 100, &r, &reason))
        << reason;
    // The chunked end finishes the answer; the open connection is not waited for.
    EXPECT_LT(steady_clock::now() - start, milliseconds(700));
    EXPECT_EQ(r.body, "abcd");
    EXPECT_EQ(seen.rfind("POST /onvif/device_service HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(seen.find("\r\nContent-Length: 4\r\n"), std::string::npos);
    EXPECT_NE(seen.find("\r\nHost: 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(seen.substr(seen.size() - 8), "\r\n\r\n<q/>");
}

TEST(http_post, endless_interim_answers_are_cut_off_at_the_size_limit)
{
    one_shot_server_t flood([](int fd) {
        recv(fd, std::string(4096, 0).data(), 4096, 0);
        const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
        std::string block;
        for (int i = 0; i < 1000; ++i)
            block += interim;
        for (int i = 0; i < 40; ++i)
            if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) < 0)
                break;
    });
    http_response_t r;
    std::string reason;
    EXPECT_FALSE(http_post(question(flood.port), steady_clock::now() + seconds(5), 100, &r, &reason));
    EXPECT_EQ(reason, "response over the size limit");
}

TEST(http_post, silence_ends_at_the_deadline_and_a_closed_port_at_once)
{
    one_shot_server_t silent([](int) { std::this_thread::sleep_for(milliseconds(1500)); });
    http_response_t r;
    std::string reason;
    auto start = steady_clock::now();
    EXPECT_FALSE(http_post(question(silent.port), start + milliseconds(300), 100, &r, &reason));
    auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LT(took, milliseconds(1000));
    EXPECT_FALSE(reason.empty());

    one_shot_server_t closing([](int) {});
    start = steady_clock::now();
    EXPECT_FALSE(http_post(question(closing.port), start + seconds(3), 100, &r, &reason));
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(reason, "connection closed without a response");

    // A bound port that does not listen refuses at once.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    start = steady_clock::now();
    EXPECT_FALSE(http_post(question(ntohs(a.sin_port)), start + seconds(3), 100, &r, &reason));
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
    close(fd);
}

}  // namespace
