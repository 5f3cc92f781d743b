// Test support for the web server: a raw loopback HTTP client that reads
// whole responses by their Content-Length, and helpers for log checks.
// Loopback only; header-only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/file_bytes.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

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

    bool send_text(const std::string& bytes) { return loopback::send_all(sock, bytes); }

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
    bool fill(int timeout_ms) { return !ended && loopback::receive_some(sock, pending, timeout_ms, &ended); }
};

using kestrel_test::read_file;

// Waits until the file at path contains needle; false after ten seconds.
inline bool wait_for_text(const std::string& path, const std::string& needle)
{
    return kestrel_test::wait_until(kestrel_test::deadline_in(std::chrono::seconds(10)),
                                    [&] { return read_file(path).find(needle) != std::string::npos; },
                                    std::chrono::milliseconds(5));
}

}  // namespace http_client
