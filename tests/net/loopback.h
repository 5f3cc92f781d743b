// Test support for the engine: a loopback listener, connected socket pairs
// and a bounded stepping loop. Loopback only; header-only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

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

// Calls step until done() holds, pausing briefly between calls; false after
// ten seconds (a generous bound against hanging, not a timing assertion).
inline bool step_until(const std::function<void()>& step, const std::function<bool()>& done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        step();
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return false;
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
