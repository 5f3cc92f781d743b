// Test support: a loopback listener, blocking clients, whole sends and
// receives bounded by time, and a stepping loop bounded by a deadline.
// Loopback only; header-only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tests/support/wait.h"

namespace loopback {

inline sockaddr_in address_of(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A blocking listening socket on 127.0.0.1 with a port the system chose.
struct listener_t {
    listener_t()
    {
        sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = address_of(0);
        socklen_t length = sizeof(address);
        bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(sock, 16);
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~listener_t() { close(sock); }
    listener_t(const listener_t&) = delete;
    listener_t& operator=(const listener_t&) = delete;

    int accept_one(sockaddr_in* peer = nullptr)
    {
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        int s = accept(sock, reinterpret_cast<sockaddr*>(&address), &length);
        if (peer)
            *peer = address;
        return s;
    }

    int sock = -1;
    uint16_t port = 0;
};

// A blocking client connected to 127.0.0.1:port, or -1.
inline int connect_to(uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = address_of(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

inline void set_nonblocking_mode(int s)
{
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK);
}

// Closing with this makes the peer see a reset instead of an orderly close.
inline void close_with_reset(int s)
{
    linger hard{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(s);
}

// A port that was free a moment ago on 127.0.0.1.
inline uint16_t free_port()
{
    listener_t probe;
    return probe.port;
}

inline bool send_all(int s, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(s, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Appends what arrives within timeout_ms to bytes; false when nothing did
// or the peer closed (ended is then set when given).
inline bool receive_some(int s, std::string& bytes, int timeout_ms, bool* ended = nullptr)
{
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) {
        if (ended != nullptr)
            *ended = true;
        return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
    return true;
}

// Reads until the peer closes, want bytes arrived, or timeout_ms of silence.
inline std::string receive(int s, int timeout_ms, size_t want = SIZE_MAX)
{
    std::string bytes;
    while (bytes.size() < want && receive_some(s, bytes, timeout_ms)) {
    }
    return bytes;
}

// True when the peer has closed the connection within timeout_ms.
inline bool peer_closed(int s, int timeout_ms)
{
    bool ended = false;
    std::string ignored;
    kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::milliseconds(timeout_ms)), [&] {
        ignored.clear();
        receive_some(s, ignored, 50, &ended);
        return ended;
    }, std::chrono::milliseconds(0));
    return ended;
}

// Calls step until done() holds, pausing briefly between calls; false after
// ten seconds (a generous bound against hanging, not a timing assertion).
inline bool step_until(const std::function<void()>& step, const std::function<bool()>& done)
{
    return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(10)), [&] {
        step();
        return done();
    }, std::chrono::microseconds(50));
}

// Reads exactly count bytes (blocking), or fewer when the peer closes.
inline std::string read_exactly(int s, size_t count)
{
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < count) {
        size_t want = std::min(sizeof(buffer), count - bytes.size());
        ssize_t n = recv(s, buffer, want, 0);
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

}  // namespace loopback
