// A small blocking HTTP/1.1 client for the camera layer's questions to a
// camera (SOAP over HTTP): one POST per connection ("Connection: close"),
// every wait bounded by one deadline, the answer bounded in size. The
// response parser is a pure function, so that a fuzz target can drive it.
// Callable from any thread; nothing is shared between calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/text_map.h"

struct http_response_t {
    int32_t status = 0;    // the status code of the status line
    text_map headers;      // names in lower case, values without surrounding blanks
    std::string body;      // the body, chunked transfer coding removed
};

enum class http_parse_result_t {
    complete,    // a whole response is in *response
    incomplete,  // more bytes are needed
    bad,         // not an HTTP response, a broken body or one over the limit
};

// Parses the bytes received so far, [from, to). closed tells that the
// server has closed the connection, which ends a body that has neither a
// length nor chunks. A body of more than limit bytes is bad.
http_parse_result_t parse_http_response(const char* from, const char* to, bool closed,
                                        size_t limit, http_response_t* response);

struct http_request_t {
    std::string host;          // name or address; an IPv6 address without brackets
    uint16_t port = 80;
    std::string path;          // the request target, starting with "/"
    std::string content_type;  // of the body
    std::string body;
};

// POSTs the request and reads the whole response by the deadline. True
// when a response came, whatever its status; false with *reason otherwise
// (no connection, time-out, a response that is not HTTP or over limit).
bool http_post(const http_request_t& request, std::chrono::steady_clock::time_point deadline,
               size_t limit, http_response_t* response, std::string* reason);
