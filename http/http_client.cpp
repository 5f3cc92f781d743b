// The blocking HTTP client: a non-blocking socket driven by poll with the
// time left to the deadline, and the response parser.
#include "http/http_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "http/http_parse.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A status line and header block never need more than this; a server that
// sends more is not answering a small question.
constexpr size_t head_limit = 16384;

std::string lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const char* from, const char* to)
{
    while (from < to && (*from == ' ' || *from == '\t'))
        ++from;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t'))
        --to;
    return std::string(from, to);
}

// "HTTP/1.x NNN text": the status code, or -1.
int32_t parse_status_line(const char* from, const char* to)
{
    if (to - from < 12 || std::memcmp(from, "HTTP/1.", 7) != 0 || from[8] != ' ')
        return -1;
    int32_t status = 0;
    for (const char* at = from + 9; at < from + 12; ++at) {
        if (*at < '0' || *at > '9')
            return -1;
        status = status * 10 + (*at - '0');
    }
    return (to - from == 12 || from[12] == ' ') ? status : -1;
}

// Header lines "Name: value", each ending in CR LF, up to block_end.
bool parse_headers(const char* at, const char* block_end, text_map* headers)
{
    while (at < block_end) {
        const char* line_end = find_text(at, block_end, "\r\n");
        const char* colon = std::find(at, line_end, ':');
        if (colon == line_end || colon == at)
            return false;
        headers->insert({lower(std::string(at, colon)), trimmed(colon + 1, line_end)});
        at = line_end + 2;
    }
    return true;
}

// A chunk size line's hexadecimal number (extensions after ";" ignored);
// more than 7 digits is refused: no answer of ours is that large.
bool parse_chunk_size(const char* from, const char* to, size_t* size)
{
    size_t value = 0;
    int digits = 0;
    for (const char* at = from; at < to && *at != ';'; ++at, ++digits) {
        const int c = std::tolower(static_cast<unsigned char>(*at));
        const int digit = std::isdigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (digit < 0 || digits >= 7)
            return false;
        value = value * 16 + size_t(digit);
    }
    *size = value;
    return digits > 0;
}

http_parse_result_t parse_chunked(const char* at, const char* to, size_t limit, std::string* body)
{
    body->clear();
    for (;;) {
        const char* line_end = find_text(at, to, "\r\n");
        if (!line_end)
            return (to - at) > 64 ? http_parse_result_t::bad : http_parse_result_t::incomplete;
        size_t size = 0;
        if (!parse_chunk_size(at, line_end, &size))
            return http_parse_result_t::bad;
        at = line_end + 2;
        if (size == 0)
            break;
        if (body->size() + size > limit)
            return http_parse_result_t::bad;
        if (size_t(to - at) < size + 2)
            return http_parse_result_t::incomplete;
        if (at[size] != '\r' || at[size + 1] != '\n')
            return http_parse_result_t::bad;
        body->append(at, size);
        at += size + 2;
    }
    // Trailer lines end with an empty line.
    for (;;) {
        const char* line_end = find_text(at, to, "\r\n");
        if (!line_end)
            return (to - at) > 1024 ? http_parse_result_t::bad : http_parse_result_t::incomplete;
        if (line_end == at)
            return http_parse_result_t::complete;
        at = line_end + 2;
    }
}

http_parse_result_t parse_body(const char* at, const char* to, bool closed, size_t limit,
                               http_response_t* response)
{
    const auto coding = response->headers.find("transfer-encoding");
    if (coding != response->headers.end() && lower(coding->second) != "identity") {
        if (lower(coding->second) != "chunked")
            return http_parse_result_t::bad;
        const http_parse_result_t r = parse_chunked(at, to, limit, &response->body);
        return (r == http_parse_result_t::incomplete && closed) ? http_parse_result_t::bad : r;
    }
    const size_t received = size_t(to - at);
    const auto length = response->headers.find("content-length");
    if (length == response->headers.end()) {
        // The body runs to the connection's end.
        if (received > limit)
            return http_parse_result_t::bad;
        if (!closed)
            return http_parse_result_t::incomplete;
        response->body.assign(at, to);
        return http_parse_result_t::complete;
    }
    const std::string& text = length->second;
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return http_parse_result_t::bad;
    size_t expected = 0;
    for (char c : text)
        expected = expected * 10 + size_t(c - '0');
    if (expected > limit)
        return http_parse_result_t::bad;
    if (received < expected)
        return closed ? http_parse_result_t::bad : http_parse_result_t::incomplete;
    response->body.assign(at, expected);
    return http_parse_result_t::complete;
}

// One status line and header block; *next is where the body begins.
http_parse_result_t parse_head(const char* from, const char* to, bool closed,
                               http_response_t* response, const char** next)
{
    *response = http_response_t{};
    const char* head_end = find_text(from, to, "\r\n\r\n");
    if (!head_end) {
        if (to - from > ptrdiff_t(head_limit) || closed)
            return http_parse_result_t::bad;
        // A first line that cannot become a status line fails at once.
        const size_t seen = std::min<size_t>(size_t(to - from), 7);
        return std::memcmp(from, "HTTP/1.", seen) == 0 ? http_parse_result_t::incomplete
                                                       : http_parse_result_t::bad;
    }
    if (head_end - from > ptrdiff_t(head_limit))
        return http_parse_result_t::bad;
    const char* status_end = find_text(from, head_end + 2, "\r\n");
    response->status = parse_status_line(from, status_end);
    if (response->status < 100 ||
        !parse_headers(status_end + 2, head_end + 2, &response->headers))
        return http_parse_result_t::bad;
    *next = head_end + 4;
    return http_parse_result_t::complete;
}

}  // namespace

http_parse_result_t parse_http_response(const char* from, const char* to, bool closed,
                                        size_t limit, http_response_t* response)
{
    for (;;) {
        const char* next = nullptr;
        const http_parse_result_t r = parse_head(from, to, closed, response, &next);
        if (r != http_parse_result_t::complete)
            return r;
        // Interim answers (100 Continue) come before the real one.
        if (response->status >= 200)
            return parse_body(next, to, closed, limit, response);
        from = next;
    }
}

namespace {

int remaining_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return int(std::clamp<int64_t>(left.count(), 0, 3600000));
}

// Waits for events on fd until the deadline; false on time-out.
bool wait_for(int fd, short events, clock_type::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, remaining_ms(deadline));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// A connected non-blocking socket to one of the host's addresses, or -1.
int connect_to(const http_request_t& request, clock_type::time_point deadline, std::string* reason)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(request.port);
    const int error = getaddrinfo(request.host.c_str(), port.c_str(), &hints, &found);
    if (error != 0) {
        *reason = std::string("cannot resolve ") + request.host + ": " + gai_strerror(error);
        return -1;
    }
    int fd = -1;
    *reason = "connection timed out";
    for (addrinfo* a = found; a && fd < 0 && remaining_ms(deadline) > 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int result = connect(fd, a->ai_addr, a->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
            int so_error = 0;
            socklen_t n = sizeof so_error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &n);
            result = so_error == 0 ? 0 : -1;
            errno = so_error;
        }
        if (result != 0) {
            if (errno != EINPROGRESS)
                *reason = std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

std::string request_text(const http_request_t& request)
{
    const bool ipv6 = request.host.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + request.host + "]" : request.host;
    return "POST " + request.path + " HTTP/1.1\r\nHost: " + host + ":" +
           std::to_string(request.port) + "\r\nContent-Type: " + request.content_type +
           "\r\nContent-Length: " + std::to_string(request.body.size()) +
           "\r\nConnection: close\r\n\r\n" + request.body;
}

bool send_all(int fd, const std::string& text, clock_type::time_point deadline, std::string* reason)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd, POLLOUT, deadline)) {
                *reason = "timed out sending the request";
                return false;
            }
        } else {
            *reason = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool receive_response(int fd, clock_type::time_point deadline, size_t limit,
                      http_response_t* response, std::string* reason)
{
    std::string received;
    char buffer[8192];
    for (;;) {
        if (!wait_for(fd, POLLIN, deadline)) {
            *reason = "timed out waiting for the response";
            return false;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // A reset after a whole response still leaves that response.
        const bool closed = n <= 0;
        if (n > 0)
            received.append(buffer, size_t(n));
        // Room for the head, interim answers and chunk framing around a
        // body of limit bytes; a server that sends more is refused.
        if (received.size() > 2 * limit + 4 * head_limit) {
            *reason = "response over the size limit";
            return false;
        }
        const http_parse_result_t r = parse_http_response(
            received.data(), received.data() + received.size(), closed, limit, response);
        if (r == http_parse_result_t::complete)
            return true;
        if (r == http_parse_result_t::bad || closed) {
            *reason = received.empty() ? "connection closed without a response"
                                       : "not a usable HTTP response";
            return false;
        }
    }
}

}  // namespace

bool http_post(const http_request_t& request, clock_type::time_point deadline, size_t limit,
               http_response_t* response, std::string* reason)
{
    const int fd = connect_to(request, deadline, reason);
    if (fd < 0)
        return false;
    const bool ok = send_all(fd, request_text(request), deadline, reason) &&
                    receive_response(fd, deadline, limit, response, reason);
    close(fd);
    return ok;
}
