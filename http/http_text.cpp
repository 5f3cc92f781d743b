// Response and path text utilities.
#include "http/http_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
bool is_separator(char c) { return c == '/' || c == '\\'; }

size_t last_separator(std::string_view path) { return path.find_last_of("/\\"); }

// The value of one hexadecimal digit, -1 for any other byte.
int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

const char* mime_type(std::string_view extension)
{
    static const struct {
        const char* extension;
        const char* type;
    } table[] = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"js", "application/javascript"},
        {"jpg", "image/jpeg"},
        {"swf", "application/x-shockwave-flash"},
        {"css", "text/css"},
        {"mp4", "video/mp4"},
        {"json", "application/json"},
    };
    for (const auto& entry : table) {
        if (extension == entry.extension)
            return entry.type;
    }
    return "application/octet-stream";
}

std::string http_date(std::time_t time)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts{};
    if (!gmtime_r(&time, &parts)) {
        std::time_t epoch = 0;
        gmtime_r(&epoch, &parts);
    }
    // Formatted into a local area: the result is safe from any thread.
    char text[64];
    std::snprintf(text, sizeof(text), "%s, %02u %s %04u %02u:%02u:%02u GMT", days[parts.tm_wday],
                  static_cast<unsigned>(parts.tm_mday), months[parts.tm_mon],
                  static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_hour),
                  static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec));
    return text;
}

std::string file_name(std::string_view path)
{
    size_t separator = last_separator(path);
    return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

std::string file_extension(std::string_view path)
{
    size_t dot = path.rfind('.');
    size_t separator = last_separator(path);
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator))
        return std::string();
    return std::string(path.substr(dot + 1));
}

int32_t path_depth(std::string_view path)
{
    int32_t depth = 0;
    int32_t lowest = 0;
    size_t at = 0;
    for (;;) {
        size_t separator = path.find_first_of("/\\", at);
        size_t dots = path.find("..", at);
        if (separator == std::string_view::npos && dots == std::string_view::npos)
            return lowest;
        if (separator != std::string_view::npos && (dots == std::string_view::npos || separator < dots)) {
            ++depth;
            at = separator + 1;
            continue;
        }
        --depth;
        lowest = std::min(lowest, depth);
        at = dots + 2;
        // A separator right after ".." closes it and leads nowhere deeper.
        if (at < path.size() && is_separator(path[at]))
            ++at;
    }
}

int32_t error_response(char* dest, int64_t room, int32_t* header_length, std::string_view status,
                       std::string_view extra_headers, const char* content_type,
                       std::optional<std::string_view> body)
{
    std::string_view content = body ? *body : status;
    std::string header = "HTTP/1.1 ";
    header.append(status);
    header += "\r\n";
    header.append(extra_headers);
    header += "Content-Type: ";
    header += content_type ? content_type : "text/plain";
    header += "\r\nContent-Length: ";
    header += std::to_string(content.size());
    header += "\r\n\r\n";
    int64_t total = static_cast<int64_t>(header.size()) + static_cast<int64_t>(content.size());
    if (total > room || total > INT32_MAX)
        return -1;
    std::memcpy(dest, header.data(), header.size());
    std::memcpy(dest + header.size(), content.data(), content.size());
    if (header_length)
        *header_length = static_cast<int32_t>(header.size());
    return static_cast<int32_t>(total);
}

std::string base64_encode(const void* data, size_t count)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* in = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((count + 2) / 3 * 4);
    for (size_t at = 0; at < count; at += 3) {
        size_t left = count - at;
        uint32_t group = static_cast<uint32_t>(in[at]) << 16;
        if (left > 1)
            group |= static_cast<uint32_t>(in[at + 1]) << 8;
        if (left > 2)
            group |= in[at + 2];
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += left > 1 ? alphabet[(group >> 6) & 63] : '=';
        out += left > 2 ? alphabet[group & 63] : '=';
    }
    return out;
}

std::string percent_decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        int high, low;
        if (text[at] == '%' && at + 2 < text.size() && (high = hex_value(text[at + 1])) >= 0 &&
            (low = hex_value(text[at + 2])) >= 0) {
            out += static_cast<char>(high * 16 + low);
            at += 2;
        } else {
            out += text[at];
        }
    }
    return out;
}

std::string json_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

bool unreserved(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string percent_encode(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out += char(c);
            continue;
        }
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool url_authority(std::string_view url, size_t* begin, size_t* end)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return false;
    *begin = scheme + 3;
    *end = url.find('/', *begin);
    if (*end == std::string_view::npos)
        *end = url.size();
    return true;
}
