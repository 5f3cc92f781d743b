// Request and response text utilities on the inputs that break naive
// parsers: missing separators, repeated keys, bytes at the very end of a
// range, traversal spellings, and ranges that must not be overrun.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/http_parse.h"
#include "http/http_text.h"

namespace {

// Copies text into an exactly sized heap area, so that reading one byte past
// the range is an error under AddressSanitizer.
struct exact_bytes_t {
    explicit exact_bytes_t(const std::string& text) : data(text.begin(), text.end()) {}
    const char* from() const { return data.data(); }
    const char* to() const { return data.data() + data.size(); }
    std::vector<char> data;
};

TEST(find_text, finds_first_whole_match_inside_range_only)
{
    struct {
        const char* text;
        const char* pattern;
        long expected;  // offset, -1 for none
    } cases[] = {
        {"abcabc", "bc", 1},  {"abc", "abcd", -1}, {"ab\r\n\r\n", "\r\n\r\n", 2},
        {"", "a", -1},        {"aaa", "aa", 0},    {"xyZ", "yz", -1},
    };
    for (const auto& c : cases) {
        exact_bytes_t bytes(c.text);
        const char* found = find_text(bytes.from(), bytes.to(), c.pattern);
        long offset = found ? found - bytes.from() : -1;
        EXPECT_EQ(offset, c.expected) << c.text << " / " << c.pattern;
    }
}

TEST(parse_request, request_line_and_headers)
{
    exact_bytes_t bytes("GET /a?b=1 HTTP/1.1\r\nHost: a\r\nHost: b\r\nhost: c\r\nName:  x \r\n\r\nGET");
    const char* next = nullptr;
    std::string method, version;
    const char *target_begin = nullptr, *target_end = nullptr;
    text_map headers;
    ASSERT_TRUE(parse_request(bytes.from(), bytes.to(), &next, &method, &target_begin, &target_end,
                              &version, &headers));
    EXPECT_EQ(method, "GET");
    EXPECT_EQ(std::string(target_begin, target_end), "/a?b=1");
    EXPECT_EQ(version, "HTTP/1.1");
    EXPECT_EQ(headers["Host"], "a");
    EXPECT_EQ(headers["host"], "c");
    EXPECT_EQ(headers["Name"], " x ");
    EXPECT_EQ(headers.size(), 3u);
    EXPECT_EQ(std::string(next, bytes.to()), "GET");
}

TEST(parse_request, minimal_request_ends_at_range_end)
{
    exact_bytes_t bytes("GET / HTTP/1.1\r\n\r\n");
    const char* next = nullptr;
    text_map headers{{"stale", "x"}};
    ASSERT_TRUE(parse_request(bytes.from(), bytes.to(), &next, nullptr, nullptr, nullptr, nullptr,
                              &headers));
    EXPECT_EQ(next, bytes.to());
    EXPECT_TRUE(headers.empty());
}

TEST(parse_request, incomplete_or_malformed_requests_fail)
{
    const char* cases[] = {
        "",
        "GET",
        "GET /",
        "GET / HTTP/1.1",
        "GET / HTTP/1.1\r\n",              // no empty line
        "GET / HTTP/1.1\r\nHost: a\r\n",   // header block not closed
        "GET / HTTP/1.1\r\nHost:a\r\n\r\n",  // no ": "
        "GET / HTTP/1.1\r\nHost: a",       // value without CR LF
        "GET / HTTP/1.1\r\n\r",            // one byte short of the empty line
    };
    for (const char* text : cases) {
        exact_bytes_t bytes(text);
        EXPECT_FALSE(parse_request(bytes.from(), bytes.to(), nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr))
            << text;
    }
}

TEST(parse_request, nul_bytes_are_ordinary_bytes)
{
    static const char raw[] = "GET /a\0b HTTP/1.1\r\nX: 1\0002\r\n\r\n";
    std::string text(raw, sizeof(raw) - 1);
    exact_bytes_t bytes(text);
    const char *target_begin = nullptr, *target_end = nullptr;
    text_map headers;
    ASSERT_TRUE(parse_request(bytes.from(), bytes.to(), nullptr, nullptr, &target_begin,
                              &target_end, nullptr, &headers));
    EXPECT_EQ(std::string(target_begin, target_end), std::string("/a\0b", 4));
    EXPECT_EQ(headers["X"], std::string("1\0002", 3));
}

struct url_case_t {
    const char* text;
    bool ok;
    const char* scheme;
    const char* user;
    const char* password;
    const char* host;
    int32_t port;
    const char* path;
    const char* query;  // nullptr: no query range
    const char* fragment;
};

TEST(parse_url, splits_targets_and_absolute_urls)
{
    const url_case_t cases[] = {
        {"/dir/page.htm?x=1", true, "", "", "", "", 0, "dir/page.htm", "x=1", ""},
        {"/", true, "", "", "", "", 0, "", nullptr, ""},
        {"page", true, "", "", "", "", 0, "page", nullptr, ""},
        {"http://example:8080/a", true, "http", "", "", "example", 8080, "a", nullptr, ""},
        {"/u:p@x/y", true, "", "/u", "p", "x", 0, "y", nullptr, ""},
        {"/a?b#c", true, "", "", "", "", 0, "a", "b", "c"},
        {"/a#c", true, "", "", "", "", 0, "a", nullptr, "c"},
        {"/a#c?d", true, "", "", "", "", 0, "a#c", "d", ""},  // "?" is looked for first
        {"/a%20b", true, "", "", "", "", 0, "a%20b", nullptr, ""},
        {"/?", true, "", "", "", "", 0, "", "", ""},
        {"h:99999999999/x", true, "", "", "", "h", 2147483647, "x", nullptr, ""},
        {"h:12ab/x", true, "", "", "", "h", 12, "x", nullptr, ""},
        {"/a@b", false, "", "", "", "", 0, "", nullptr, ""},
    };
    for (const auto& c : cases) {
        exact_bytes_t bytes(c.text);
        std::string scheme, user, password, host, path, fragment;
        int32_t port = -1;
        const char *query_begin = nullptr, *query_end = nullptr, *next = nullptr;
        bool ok = parse_url(bytes.from(), bytes.to(), &next, &scheme, &user, &password, &host,
                            &port, &path, &query_begin, &query_end, &fragment);
        ASSERT_EQ(ok, c.ok) << c.text;
        if (!ok)
            continue;
        EXPECT_EQ(scheme, c.scheme) << c.text;
        EXPECT_EQ(user, c.user) << c.text;
        EXPECT_EQ(password, c.password) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(path, c.path) << c.text;
        EXPECT_EQ(query_begin != nullptr, c.query != nullptr) << c.text;
        if (c.query && query_begin) {
            EXPECT_EQ(std::string(query_begin, query_end), c.query) << c.text;
        }
        EXPECT_EQ(fragment, c.fragment) << c.text;
        EXPECT_EQ(next, bytes.to()) << c.text;
    }
}

TEST(build_url, leaves_out_empty_parts_and_the_port)
{
    EXPECT_EQ(build_url("http", "", "", "h:81", "sub/", "a=1", ""), "http://h:81/sub/?a=1");
    EXPECT_EQ(build_url("http", "u", "", "", "sub/", "", "f"), "http://u:@/sub/#f");
    EXPECT_EQ(build_url("", "", "", "", "", "", ""), "/");
}

TEST(parse_query, pairs_first_value_wins_and_failures)
{
    struct {
        const char* text;
        bool ok;
        text_map expected;
    } cases[] = {
        {"w=320&h=240", true, {{"w", "320"}, {"h", "240"}}},
        {"w=1&w=2", true, {{"w", "1"}}},
        {"", true, {}},
        {"=&a=", true, {{"", ""}, {"a", ""}}},
        {"a&b=1", true, {{"a&b", "1"}}},
        {"q=%41+", true, {{"q", "%41+"}}},
        {"w=320&", false, {}},
        {"flag", false, {}},
    };
    for (const auto& c : cases) {
        exact_bytes_t bytes(c.text);
        text_map params{{"stale", "x"}};
        const char* next = nullptr;
        bool ok = parse_query(bytes.from(), bytes.to(), &next, params);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (ok) {
            EXPECT_EQ(params, c.expected) << c.text;
            EXPECT_EQ(next, bytes.to()) << c.text;
        }
    }
}

TEST(read_decimal, reads_like_a_query_value_and_saturates)
{
    struct {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"90", 90},          {"  -7x", -7},        {"+12", 12},
        {"", 0},             {"abc", 0},           {"-", 0},
        {"99999999999", 2147483647}, {"-2147483648", -2147483647 - 1},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(read_decimal(c.text), c.expected) << c.text;
}

TEST(mime_type, exact_case_sensitive_table)
{
    struct {
        const char* extension;
        const char* type;
    } cases[] = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"js", "application/javascript"},
        {"jpg", "image/jpeg"},
        {"swf", "application/x-shockwave-flash"},
        {"css", "text/css"},
        {"mp4", "video/mp4"},
        {"json", "application/json"},
        {"MP4", "application/octet-stream"},
        {"JPG", "application/octet-stream"},
        {"jpeg", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(mime_type(c.extension), c.type) << c.extension;
}

TEST(parse_byte_range, one_range_cut_to_the_file_anything_else_whole)
{
    struct {
        const char* value;
        int64_t size;
        byte_range_t expected;
        int64_t first, end;
    } cases[] = {
        {"bytes=0-99", 1000, byte_range_t::partial, 0, 100},
        {"bytes=500-", 1000, byte_range_t::partial, 500, 1000},
        {"bytes=990-5000", 1000, byte_range_t::partial, 990, 1000},
        {"bytes=-10", 1000, byte_range_t::partial, 990, 1000},
        {"bytes=-5000", 1000, byte_range_t::partial, 0, 1000},
        {"bytes=999-999", 1000, byte_range_t::partial, 999, 1000},
        {"bytes=1000-", 1000, byte_range_t::unsatisfiable, 0, 0},
        {"bytes=99999999999999999999999-", 1000, byte_range_t::unsatisfiable, 0, 0},
        {"bytes=-0", 1000, byte_range_t::unsatisfiable, 0, 0},
        {"bytes=-10", 0, byte_range_t::unsatisfiable, 0, 0},
        {"bytes=0-", 0, byte_range_t::unsatisfiable, 0, 0},
        {"", 1000, byte_range_t::whole, 0, 0},
        {"bytes=0-1,5-6", 1000, byte_range_t::whole, 0, 0},
        {"bytes=9-1", 1000, byte_range_t::whole, 0, 0},
        {"bytes=-", 1000, byte_range_t::whole, 0, 0},
        {"bytes= 1-2", 1000, byte_range_t::whole, 0, 0},
        {"Bytes=1-2", 1000, byte_range_t::whole, 0, 0},
        {"bytes=1-2x", 1000, byte_range_t::whole, 0, 0},
    };
    for (const auto& c : cases) {
        int64_t first = 0, end = 0;
        EXPECT_EQ(parse_byte_range(c.value, c.size, first, end), c.expected) << c.value;
        if (c.expected == byte_range_t::partial) {
            EXPECT_EQ(first, c.first) << c.value;
            EXPECT_EQ(end, c.end) << c.value;
        }
    }
}

TEST(escapes, percent_decoding_and_json_strings)
{
    EXPECT_EQ(percent_decode("rec/2026-01-02%2003-04-05%20(UTC).mp4"), "rec/2026-01-02 03-04-05 (UTC).mp4");
    EXPECT_EQ(percent_decode("%2e%2E%2f%00"), std::string("../\0", 4));
    EXPECT_EQ(percent_decode("100%"), "100%");
    EXPECT_EQ(percent_decode("%4"), "%4");
    EXPECT_EQ(percent_decode("%zz%41"), "%zzA");
    EXPECT_EQ(json_escape(std::string("a\"b\\c\x01\x7f\n\xc3\xa9", 10)), "a\\\"b\\\\c\\u0001\\u007f\\u000a\xc3\xa9");
}

TEST(http_date, fixed_length_dates)
{
    EXPECT_EQ(http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(http_date(1767225599), "Wed, 31 Dec 2025 23:59:59 GMT");
}

TEST(paths, file_name_and_extension)
{
    struct {
        const char* path;
        const char* name;
        const char* extension;
    } cases[] = {
        {"root/index.htm", "index.htm", "htm"},
        {"root\\a\\b.jpg", "b.jpg", "jpg"},
        {"a.b/c", "c", ""},
        {"c.", "c.", ""},
        {"dir/.x", ".x", "x"},
        {"plain", "plain", ""},
        {"dir/", "", ""},
        {"", "", ""},
        {"a.tar.gz", "a.tar.gz", "gz"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file_name(c.path), c.name) << c.path;
        EXPECT_EQ(file_extension(c.path), c.extension) << c.path;
    }
}

TEST(path_depth, negative_exactly_when_the_path_climbs_out)
{
    struct {
        const char* path;
        bool climbs_out;
    } cases[] = {
        {"", false},           {"index.htm", false},  {"a/../b", false},
        {"a/..", false},       {"a/b/../../c", false}, {"sub/", false},
        {"../x", true},        {"..\\x", true},       {"a/../../x", true},
        {"x..y", true},        {"..", true},          {"a\\..\\..\\x", true},
        {"a/b/../../../x", true}, {".../x", true},
    };
    for (const auto& c : cases) {
        int32_t depth = path_depth(c.path);
        EXPECT_LE(depth, 0) << c.path;
        EXPECT_EQ(depth < 0, c.climbs_out) << c.path << " depth " << depth;
    }
}

TEST(error_response, composes_header_and_body_within_room)
{
    char buffer[256];
    int32_t header_length = -1;
    int32_t length = error_response(buffer, sizeof(buffer), &header_length, "404 Not Found");
    const std::string expected_header =
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\n";
    ASSERT_EQ(length, static_cast<int32_t>(expected_header.size() + 13));
    EXPECT_EQ(header_length, static_cast<int32_t>(expected_header.size()));
    EXPECT_EQ(std::string(buffer, length), expected_header + "404 Not Found");

    length = error_response(buffer, sizeof(buffer), nullptr, "302 Found", "Location: http://h/s/\r\n",
                            "text/html", std::string_view("moved"));
    EXPECT_EQ(std::string(buffer, length),
              "HTTP/1.1 302 Found\r\nLocation: http://h/s/\r\nContent-Type: text/html\r\n"
              "Content-Length: 5\r\n\r\nmoved");
}

TEST(error_response, refuses_to_write_past_the_room)
{
    char buffer[128];
    std::memset(buffer, '#', sizeof(buffer));
    int32_t exact = error_response(buffer, sizeof(buffer), nullptr, "403 Forbidden");
    ASSERT_GT(exact, 0);
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(error_response(buffer, exact, nullptr, "403 Forbidden"), exact);
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(error_response(buffer, exact - 1, nullptr, "403 Forbidden"), -1);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(error_response(buffer, 0, nullptr, "403 Forbidden"), -1);
}

TEST(base64_encode, rfc_4648_vectors)
{
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"user:4137", "dXNlcjo0MTM3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(base64_encode(c.in, std::strlen(c.in)), c.out) << c.in;
    const unsigned char high[] = {0xFF, 0xFE, 0x00, 0x3E, 0x3F};
    EXPECT_EQ(base64_encode(high, sizeof(high)), "//4APj8=");
}

}  // namespace

TEST(percent_encode, keeps_unreserved_and_encodes_every_other_byte)
{
    EXPECT_EQ(percent_encode("aZ09-._~"), "aZ09-._~");
    EXPECT_EQ(percent_encode("p@ss:w/rd%"), "p%40ss%3Aw%2Frd%25");
    EXPECT_EQ(percent_encode(std::string("\x00\xff", 2)), "%00%FF");
    EXPECT_EQ(percent_decode(percent_encode("ü ?#&=")), "ü ?#&=");
}

TEST(url_authority, spans_from_scheme_to_first_slash_or_end)
{
    size_t begin = 0, end = 0;
    ASSERT_TRUE(url_authority("rtsp://u:p@host:554/path/x", &begin, &end));
    EXPECT_EQ(std::string("rtsp://u:p@host:554/path/x").substr(begin, end - begin), "u:p@host:554");
    ASSERT_TRUE(url_authority("http://host", &begin, &end));
    EXPECT_EQ(begin, 7u);
    EXPECT_EQ(end, 11u);
    EXPECT_FALSE(url_authority("host:80/path", &begin, &end));
}
