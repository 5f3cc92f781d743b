// Text utilities of responses and paths: content type by extension, the
// HTTP date, file name, extension and depth of a request path, the short
// response composer and Base64. Stateless; called on the web server thread.
// "/" and "\" both count as path separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Content type of an extension (without the dot), compared exactly.
const char* mime_type(std::string_view extension);

// "Thu, 01 Jan 1970 00:00:00 GMT" (the fixed-length date of HTTP).
std::string http_date(std::time_t time);

// The bytes after the last separator; the whole path when it has none.
std::string file_name(std::string_view path);
// The bytes after the last ".", empty when there is none in the last name.
std::string file_extension(std::string_view path);
// Lowest folder depth the path reaches, relative to its start: negative
// when it climbs above it. Any name holding ".." counts as one step up.
int32_t path_depth(std::string_view path);

// Composes "HTTP/1.1 <status>" with the optional extra header lines (each
// ending in CR LF), a content type ("text/plain" when none is given), the
// content length and the body (the status text when none is given) at dest.
// Returns the total length, with the header length in *header_length; -1
// when the response does not fit into room bytes (nothing is written then).
int32_t error_response(char* dest, int64_t room, int32_t* header_length, std::string_view status,
                       std::string_view extra_headers = {}, const char* content_type = nullptr,
                       std::optional<std::string_view> body = std::nullopt);

// Every byte but the unreserved ones of a URL (letters, digits, "-._~")
// as "%" and two upper-case hexadecimal digits.
std::string percent_encode(std::string_view text);
// Every "%" followed by two hexadecimal digits becomes the byte they name;
// any other byte, a lone "%" included, is kept as it is.
std::string percent_decode(std::string_view text);

// Where the authority of a URL lies: just after "://" up to the first "/"
// behind it (or the URL's end). False when the URL has no "://".
bool url_authority(std::string_view url, size_t* begin, size_t* end);

// The text as the inside of a JSON string: quote, backslash and control
// bytes escaped; other bytes (UTF-8 sequences too) kept.
std::string json_escape(std::string_view text);

// Base64 with the standard alphabet and "=" padding, no line breaks.
std::string base64_encode(const void* data, size_t count);
