// Where a camera stream comes from: the address rule that turns the login's
// address, port and credentials plus the preview's channel and link mode into
// a stream URL and a transport, and the parser of test:// addresses.
// Pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

// The built-in synthetic camera's parameters: test://[user:password@]WxH[@FPS]
struct test_camera_shape_t {
    int32_t width = 640;    // picture size in pixels, even
    int32_t height = 360;
    int32_t fps = 25;       // frames per second
    bool has_credentials = false;  // the address names a user the login must match
    std::string user;
    std::string password;
};

// True when the address is a whole stream URL rather than a host.
bool is_stream_url(const std::string& address);
bool is_test_address(const std::string& address);
// False when the text after "test://" is not a valid camera shape.
bool parse_test_address(const std::string& address, test_camera_shape_t* shape);

// A host as a URL's authority holds it: an IPv6 address in brackets.
std::string url_host(const std::string& host);

// The stream URL without credentials: the address itself when it is a URL,
// else rtsp://address:port/ch<channel>/<main|sub>.
std::string camera_stream_url(const std::string& address, uint16_t port, int32_t channel,
                              bool sub_stream);
// Puts percent-encoded credentials into a URL that carries none; a URL that
// has its own, or an empty user, is returned unchanged.
std::string url_with_credentials(const std::string& url, const std::string& user,
                                 const std::string& password);
// The URL with any credentials removed, for log lines.
std::string url_for_log(const std::string& url);

// link_mode bit 31: sub stream.
bool link_mode_sub_stream(int32_t link_mode);
// libavformat's rtsp_transport value for bits 0-30 of link_mode: 0 TCP,
// 1 UDP, 2 multicast, anything else UDP falling back to TCP.
const char* link_mode_transport(int32_t link_mode);
