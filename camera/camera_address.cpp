// The address rule and the test:// parser.
#include "camera/camera_address.h"

#include <cstdio>

#include "http/http_text.h"

namespace {

const std::string test_scheme = "test://";

// Parses a whole decimal number in [lo, hi]; false on anything else.
bool parse_int(const std::string& text, int32_t lo, int32_t hi, int32_t* out)
{
    if (text.empty() || text.size() > 6)
        return false;
    int32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// "WxH" or "WxH@FPS".
bool parse_geometry(const std::string& text, test_camera_shape_t* shape)
{
    const size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    const size_t at = text.find('@', x);
    const std::string w = text.substr(0, x);
    const std::string h = text.substr(x + 1, at == std::string::npos ? std::string::npos : at - x - 1);
    if (!parse_int(w, 16, 4096, &shape->width) || !parse_int(h, 16, 4096, &shape->height))
        return false;
    if (at != std::string::npos && !parse_int(text.substr(at + 1), 1, 60, &shape->fps))
        return false;
    // 4:2:0 pictures need even sizes.
    shape->width &= ~1;
    shape->height &= ~1;
    return true;
}

}  // namespace

bool is_stream_url(const std::string& address) { return address.find("://") != std::string::npos; }

bool is_test_address(const std::string& address)
{
    return address.compare(0, test_scheme.size(), test_scheme) == 0;
}

bool parse_test_address(const std::string& address, test_camera_shape_t* shape)
{
    if (!is_test_address(address))
        return false;
    test_camera_shape_t r;
    std::string rest = address.substr(test_scheme.size());
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    // Credentials are "user:password@" in front; the geometry has no ":".
    const size_t at = rest.find('@');
    if (at != std::string::npos && rest.find(':') < at) {
        const size_t colon = rest.find(':');
        r.has_credentials = true;
        r.user = rest.substr(0, colon);
        r.password = rest.substr(colon + 1, at - colon - 1);
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && !parse_geometry(rest, &r))
        return false;
    *shape = r;
    return true;
}

std::string url_host(const std::string& host)
{
    // A bare IPv6 address needs brackets before the port.
    const bool ipv6 = !host.empty() && host.find(':') != std::string::npos && host.front() != '[';
    return ipv6 ? "[" + host + "]" : host;
}

std::string camera_stream_url(const std::string& address, uint16_t port, int32_t channel,
                              bool sub_stream)
{
    if (is_stream_url(address))
        return address;
    return "rtsp://" + url_host(address) + ":" + std::to_string(port) + "/ch" + std::to_string(channel) +
           (sub_stream ? "/sub" : "/main");
}

std::string url_with_credentials(const std::string& url, const std::string& user,
                                 const std::string& password)
{
    size_t begin = 0, end = 0;
    if (user.empty() || !url_authority(url, &begin, &end) ||
        url.find('@', begin) < end)
        return url;
    return url.substr(0, begin) + percent_encode(user) + ":" + percent_encode(password) + "@" +
           url.substr(begin);
}

std::string url_for_log(const std::string& url)
{
    // A test address's geometry may hold an "@" of its own.
    if (is_test_address(url)) {
        const size_t at = url.find('@');
        const bool credentials = at != std::string::npos && url.find(':', test_scheme.size()) < at;
        return credentials ? test_scheme + url.substr(at + 1) : url;
    }
    size_t begin = 0, end = 0;
    if (!url_authority(url, &begin, &end))
        return url;
    const size_t at = url.rfind('@', end - 1);
    if (at == std::string::npos || at < begin)
        return url;
    return url.substr(0, begin) + url.substr(at + 1);
}

bool link_mode_sub_stream(int32_t link_mode) { return (uint32_t(link_mode) >> 31) != 0; }

const char* link_mode_transport(int32_t link_mode)
{
    switch (uint32_t(link_mode) & 0x7fffffffu) {
    case 0:
        return "tcp";
    case 1:
        return "udp";
    case 2:
        return "udp_multicast";
    default:
        return "udp+tcp";
    }
}
