// libFuzzer target: arbitrary bytes through the request parsers, and through
// a web connection's whole batch handling over a socket pair (receive, empty
// line detection, parsing, authentication, routing, files and their ranges,
// the send of a file in pieces).
// Single-threaded; the node is stepped here the way the server step does.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/settings.h"
#include "http/http_parse.h"
#include "http/http_text.h"
#include "web/simple_server_node.h"

namespace {

std::string fuzz_dir;  // the web root's parent, removed when the run ends

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A range taken as partial must lie inside the file, for sizes around it.
void check_range(const std::string& value)
{
    for (int64_t size : {int64_t(0), int64_t(1), int64_t(3000), int64_t(1) << 40}) {
        int64_t first = -1, end = -1;
        if (parse_byte_range(value, size, first, end) == byte_range_t::partial &&
            !(0 <= first && first < end && end <= size))
            std::abort();
    }
}

// Every parser on the same bytes; the results themselves are not checked
// (the sanitizers are the check), only their bounds.
void parse_everything(const char* from, const char* to)
{
    const char *next = nullptr, *target_begin = nullptr, *target_end = nullptr;
    std::string method, version;
    text_map headers;
    if (!parse_request(from, to, &next, &method, &target_begin, &target_end, &version, &headers))
        target_begin = from, target_end = to;
    if (next && (next < from || next > to))
        std::abort();
    std::string scheme, user, password, host, path, fragment;
    int32_t port = 0;
    const char *query_begin = nullptr, *query_end = nullptr;
    if (parse_url(target_begin, target_end, nullptr, &scheme, &user, &password, &host, &port, &path,
                  &query_begin, &query_end, &fragment)) {
        text_map query;
        parse_query(query_begin, query_end, nullptr, query);
        if (path_depth(path) > 0)
            std::abort();
        json_escape(percent_decode(path));
        file_extension(path);
        mime_type(file_name(path));
        build_url(scheme, user, password, host, path, "", fragment);
    }
    base64_encode(from, static_cast<size_t>(to - from));
    auto range = headers.find("Range");
    check_range(range == headers.end() ? std::string(from, to) : range->second);
}

// Steps the node as the server step does until it closes or goes quiet,
// draining whatever it sends.
void run_node(simple_server_node& node, int peer)
{
    char drain[65536];
    for (int turn = 0; turn < 64 && node.is_connected(); ++turn) {
        do {
            node.on_step();
            node.step_job();
        } while (node.is_immediate());
        while (recv(peer, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
        if (node.is_busy() && node.job() == se_job_recv && node.io_done == 0 && turn > 2)
            break;  // everything was answered; it waits for the next request
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/kestrel-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    fuzz_dir = pattern;
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(fuzz_dir, error);
    });
    std::string root = fuzz_dir + "/root/";
    mkdir(root.c_str(), 0700);
    mkdir((root + "sub").c_str(), 0700);
    write_file(root + "index.htm", "<html>index</html>");
    write_file(root + "sub/index.htm", "sub");
    // Larger than the output buffer: it goes out in pieces.
    write_file(root + "big.bin", std::string(10000, 'b'));
    write_file(root + "a.css", "x{}");
    settings.root = root;
    settings.sizeof_in = 2048;
    settings.sizeof_out = 4096;
    settings.exe_path = "/opt/kestrel/kestrel";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the credentials, so that routing is reached
    // without valid Base64 in the input.
    bool open_server = data[0] & 1;
    settings.login = open_server ? "" : "user";
    settings.password = open_server ? "" : "pw";
    const char* from = reinterpret_cast<const char*>(data + 1);
    const char* to = reinterpret_cast<const char*>(data + size);
    parse_everything(from, to);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    {
        simple_server_node node;
        node.attach(pair[0], sockaddr_in{});
        node.on_connected();
        size_t sent = 0;
        while (sent < size - 1) {
            ssize_t n = send(pair[1], from + sent, size - 1 - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        run_node(node, pair[1]);
    }
    close(pair[1]);
    return 0;
}
