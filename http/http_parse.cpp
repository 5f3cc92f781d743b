// Request text parsers: every search is bounded by the caller's range.
#include "http/http_parse.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace {
std::string bytes(const char* from, const char* to) { return std::string(from, to); }

template <typename T>
void reset(T* out, const T& value)
{
    if (out)
        *out = value;
}

template <typename T>
void put(T* out, const T& value)
{
    if (out)
        *out = value;
}

// Adds a decimal digit to a value that saturates at limit.
int64_t add_digit(int64_t value, char digit, int64_t limit)
{
    value = value * 10 + (digit - '0');
    return value > limit ? limit : value;
}
}  // namespace

const char* find_text(const char* from, const char* to, const char* pattern)
{
    size_t length = std::strlen(pattern);
    if (!from || !to || to < from || static_cast<size_t>(to - from) < length)
        return nullptr;
    for (const char* at = from; at + length <= to; ++at) {
        if (std::memcmp(at, pattern, length) == 0)
            return at;
    }
    return nullptr;
}

bool parse_request(const char* from, const char* to, const char** next, std::string* method,
                   const char** target_begin, const char** target_end, std::string* version,
                   text_map* headers)
{
    reset<const char*>(next, nullptr);
    reset<std::string>(method, {});
    reset<const char*>(target_begin, nullptr);
    reset<const char*>(target_end, nullptr);
    reset<std::string>(version, {});
    if (headers)
        headers->clear();

    const char* space = find_text(from, to, " ");
    if (!space)
        return false;
    put(method, bytes(from, space));
    const char* target = space + 1;
    space = find_text(target, to, " ");
    if (!space)
        return false;
    put(target_begin, target);
    put(target_end, space);
    const char* line_end = find_text(space + 1, to, "\r\n");
    if (!line_end)
        return false;
    put(version, bytes(space + 1, line_end));

    const char* at = line_end + 2;
    for (;;) {
        if (to - at >= 2 && at[0] == '\r' && at[1] == '\n') {
            put(next, at + 2);
            return true;
        }
        // The ": " search runs to the end of the range, not of the line.
        const char* colon = find_text(at, to, ": ");
        if (!colon)
            return false;
        line_end = find_text(colon + 2, to, "\r\n");
        if (!line_end)
            return false;
        if (headers)
            headers->insert({bytes(at, colon), bytes(colon + 2, line_end)});
        at = line_end + 2;
    }
}

bool parse_url(const char* from, const char* to, const char** next, std::string* scheme,
               std::string* user, std::string* password, std::string* host, int32_t* port,
               std::string* path, const char** query_begin, const char** query_end,
               std::string* fragment)
{
    reset<const char*>(next, nullptr);
    reset<std::string>(scheme, {});
    reset<std::string>(user, {});
    reset<std::string>(password, {});
    reset<std::string>(host, {});
    reset<int32_t>(port, 0);
    reset<std::string>(path, {});
    reset<const char*>(query_begin, nullptr);
    reset<const char*>(query_end, nullptr);
    reset<std::string>(fragment, {});
    if (!from || !to || to < from)
        return false;

    const char* at = from;
    if (const char* mark = find_text(at, to, "://")) {
        put(scheme, bytes(at, mark));
        at = mark + 3;
    }
    if (const char* mark = find_text(at, to, "@")) {
        const char* colon = find_text(at, mark, ":");
        if (!colon) {
            put(next, at);
            return false;
        }
        put(user, bytes(at, colon));
        put(password, bytes(colon + 1, mark));
        at = mark + 1;
    }
    if (const char* slash = find_text(at, to, "/")) {
        const char* colon = find_text(at, slash, ":");
        if (colon) {
            put(host, bytes(at, colon));
            // The digits end at the "/" at the latest, inside the range.
            int64_t number = 0;
            for (const char* digit = colon + 1; digit < slash && std::isdigit(static_cast<unsigned char>(*digit)); ++digit)
                number = add_digit(number, *digit, std::numeric_limits<int32_t>::max());
            put(port, static_cast<int32_t>(number));
        } else {
            put(host, bytes(at, slash));
        }
        at = slash + 1;
    }
    if (const char* question = find_text(at, to, "?")) {
        put(path, bytes(at, question));
        const char* hash = find_text(question + 1, to, "#");
        put(query_begin, question + 1);
        put(query_end, hash ? hash : to);
        if (hash)
            put(fragment, bytes(hash + 1, to));
    } else if (const char* hash = find_text(at, to, "#")) {
        put(path, bytes(at, hash));
        put(fragment, bytes(hash + 1, to));
    } else {
        put(path, bytes(at, to));
    }
    put(next, to);
    return true;
}

std::string build_url(const std::string& scheme, const std::string& user,
                      const std::string& password, const std::string& host,
                      const std::string& path, const std::string& query,
                      const std::string& fragment)
{
    std::string url;
    if (!scheme.empty())
        url += scheme + "://";
    if (!user.empty())
        url += user + ":" + password + "@";
    url += host + "/";
    url += path;
    if (!query.empty())
        url += "?" + query;
    if (!fragment.empty())
        url += "#" + fragment;
    return url;
}

bool parse_query(const char* from, const char* to, const char** next, text_map& params)
{
    reset<const char*>(next, nullptr);
    params.clear();
    if (from == to) {
        put(next, to);
        return true;
    }
    if (!from || !to || to < from)
        return false;
    const char* at = from;
    for (;;) {
        // The "=" search runs to the end of the range, so a name without
        // "=" is glued to the following pair.
        const char* equals = find_text(at, to, "=");
        if (!equals)
            return false;
        const char* amp = find_text(equals + 1, to, "&");
        params.insert({bytes(at, equals), bytes(equals + 1, amp ? amp : to)});
        if (!amp) {
            put(next, to);
            return true;
        }
        at = amp + 1;
    }
}

int32_t read_decimal(const std::string& text)
{
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    // One more than INT32_MAX so that INT32_MIN itself is reachable.
    const int64_t limit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + (negative ? 1 : 0);
    int64_t value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
        value = add_digit(value, text[at], limit);
    return static_cast<int32_t>(negative ? -value : value);
}

namespace {
// Decimal digits at text[at...]; false when there are none. Values past
// 2^62 saturate: no file is that large, so they compare as past any end.
bool read_offset(const std::string& text, size_t& at, int64_t& value)
{
    const size_t start = at;
    value = 0;
    const int64_t limit = int64_t(1) << 62;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
        value = value > limit / 10 ? limit : std::min(limit, value * 10 + (text[at] - '0'));
    return at > start;
}
}  // namespace

byte_range_t parse_byte_range(const std::string& value, int64_t size, int64_t& first, int64_t& end)
{
    const std::string unit = "bytes=";
    if (value.compare(0, unit.size(), unit) != 0)
        return byte_range_t::whole;
    size_t at = unit.size();
    int64_t from = 0, to = 0;
    const bool has_from = read_offset(value, at, from);
    if (at >= value.size() || value[at] != '-')
        return byte_range_t::whole;
    ++at;
    const bool has_to = read_offset(value, at, to);
    // A second range, blanks or any other byte: not understood.
    if (at != value.size() || (!has_from && !has_to) || (has_from && has_to && to < from))
        return byte_range_t::whole;
    if (!has_from) {
        if (to == 0 || size == 0)
            return byte_range_t::unsatisfiable;
        first = std::max<int64_t>(0, size - to);
        end = size;
        return byte_range_t::partial;
    }
    if (from >= size)
        return byte_range_t::unsatisfiable;
    first = from;
    end = has_to ? std::min(size, to + 1) : size;
    return byte_range_t::partial;
}
