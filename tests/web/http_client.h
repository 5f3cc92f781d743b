// Test support for the web server: a raw loopback HTTP client that reads
// whole responses by their Content-Length, and helpers for log checks.
// Loopback only; header-only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/net/loopback.h"

namespace http_client {

// One response as it came over the wire.
struct response_t {
    std::string header;  // status line and header lines, up to and including the empty line
    std::string body;
    std::string status() const { return header.substr(9, header.find("\r\n") - 9); }
    std::string field(const std::string& name) const
    {
        size_t at = header.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return std::string();
        at += name.size() + 4;
        return header.substr(at, header.find("\r\n", at) - at);
    }
};

// A connection with a buffer of bytes received but not yet taken.
class connection_t {
public:
    explicit connection_t(uint16_t port) : sock(loopback::connect_to(port)) {}
    ~connection_t() { close_now(); }
    connection_t(const connection_t&) = delete;
    connection_t& operator=(const connection_t&) = delete;

    bool send_text(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads one whole response; false when the connection ended or stayed
    // silent for timeout_ms first.
    bool read_response(response_t& response, int timeout_ms = 5000)
    {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(timeout_ms))
                return false;
        }
        response.header = pending.substr(0, end + 4);
        size_t length = std::strtoul(response.field("Content-Length").c_str(), nullptr, 10);
        while (pending.size() < end + 4 + length) {
            if (!fill(timeout_ms))
                return false;
        }
        response.body = pending.substr(end + 4, length);
        pending.erase(0, end + 4 + length);
        return true;
    }

    // Sends a request and reads its response.
    bool exchange(const std::string& request, response_t& response)
    {
        return send_text(request) && read_response(response);
    }

    // True when the server closes the connection within timeout_ms without
    // sending anything more.
    bool closed_silently(int timeout_ms = 5000)
    {
        while (fill(timeout_ms)) {
        }
        return ended && pending.empty();
    }

    // Takes whatever arrives within timeout_ms into pending; false when
    // nothing did or the connection ended.
    bool receive(int timeout_ms) { return fill(timeout_ms); }

    void close_now()
    {
        if (sock >= 0)
            ::close(sock);
        sock = -1;
    }

    int sock;
    std::string pending;  // received bytes not yet taken as a response
    bool ended = false;   // the server closed (or reset) the connection

private:
    bool fill(int timeout_ms)
    {
        if (ended)
            return false;
        pollfd entry{sock, POLLIN, 0};
        if (poll(&entry, 1, timeout_ms) <= 0)
            return false;
        char buffer[65536];
        ssize_t n = recv(sock, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            ended = true;
            return false;
        }
        pending.append(buffer, static_cast<size_t>(n));
        return true;
    }
};

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits until the file at path contains needle; false after ten seconds.
inline bool wait_for_text(const std::string& path, const std::string& needle)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (read_file(path).find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace http_client
