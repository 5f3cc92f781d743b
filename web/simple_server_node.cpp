// simple_server_node: receiving, the request batch, authentication, routing
// and files, with the node's log lines.
#include "web/simple_server_node.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "settings/log.h"
#include "settings/settings.h"
#include "web/http_parse.h"
#include "web/http_text.h"
#include "web/live_picture.h"

namespace {
const char* const separator_line = "//---------------------------------------------------------------------------\n";

// A buffer of the configured size; none (and size 0) when the size is not
// positive or the memory cannot be had, so a bad setting cannot throw.
char* allocate(int32_t& size)
{
    if (size <= 0) {
        size = 0;
        return nullptr;
    }
    char* buffer = new (std::nothrow) char[static_cast<size_t>(size)];
    if (!buffer)
        size = 0;
    return buffer;
}

std::string value_of(const text_map& map, const char* key)
{
    auto found = map.find(key);
    return found == map.end() ? std::string() : found->second;
}

// The realm is the executable's name without its extension.
std::string realm() { return replace_extension(file_name(settings.exe_path), ""); }
}  // namespace

simple_server_node::simple_server_node()
    : in_size(settings.sizeof_in), out_size(settings.sizeof_out), part_delay(settings.frame_delay)
{
    in_buffer = allocate(in_size);
    out_buffer = allocate(out_size);
    io_buffer = in_buffer;
    io_buffer_size = in_size;
}

simple_server_node::~simple_server_node()
{
    // Closed here, while this class's handlers still report the close.
    close_connection();
    delete[] in_buffer;
    delete[] out_buffer;
}

void simple_server_node::log_event(const std::string& event)
{
    log_print("%s node (ip = %s, port = %hu) %s\n", utc_timestamp().c_str(),
              peer_address_text().c_str(), peer_port(), event.c_str());
}

void simple_server_node::log_block(const std::string& event, const std::string& text)
{
    log_print("%s%s node (ip = %s, port = %hu) %s\n%s%s\n%s", separator_line,
              utc_timestamp().c_str(), peer_address_text().c_str(), peer_port(), event.c_str(),
              separator_line, text.c_str(), separator_line);
}

bool simple_server_node::start_logged_job(uint8_t new_job, bool immediate_step)
{
    if (start_job(new_job, immediate_step)) {
        log_event(std::string("job ") + job_name(new_job) + " activated");
        return true;
    }
    log_event(std::string("can not activate job ") + job_name(job()));
    return false;
}

void simple_server_node::on_connected()
{
    log_event("connected");
    start_receiving();
}

void simple_server_node::on_disconnected() { log_event("disconnected"); }

void simple_server_node::start_receiving()
{
    io_buffer = in_buffer;
    io_buffer_size = in_size;
    io_length = in_size;
    start_logged_job(se_job_recv, true);
}

bool simple_server_node::part_due() const
{
    // A millisecond clock: calendar seconds would pace every delay up to a
    // second at one part per second.
    return stream_clock_ms() - last_part_time >= static_cast<int64_t>(static_cast<uint32_t>(part_delay));
}

bool simple_server_node::ends_with_empty_line() const
{
    return in_buffer && io_done >= 4 && io_done <= in_size &&
           std::memcmp(in_buffer + io_done - 4, "\r\n\r\n", 4) == 0;
}

void simple_server_node::on_step()
{
    if (!is_busy()) {
        if (batch_waiting)
            continue_batch();
        else if (streaming && part_due() && !live_picture_pending(*this))
            send_stream_part(*this);
        return;
    }
    etx_detected = job() == se_job_recv && ends_with_empty_line();
    if (etx_detected)
        answer_etx(true);
}

void simple_server_node::answer_etx(bool abort_receive)
{
    etx_detected = true;
    log_block("etx detected", std::string(in_buffer, static_cast<size_t>(io_done - 2)));
    if (abort_receive)
        abort_job();
    answer_batch();
}

void simple_server_node::on_job_finished()
{
    log_event(std::string("job ") + job_name(job()) + " finished with result " + result_name(result()));
    switch (result()) {
    case se_aborted:
    case se_connection_closed:
        break;
    case se_success:
        if (streaming)
            break;
        if (job() == se_job_send) {
            start_receiving();
        } else if (job() == se_job_recv && ends_with_empty_line()) {
            // The batch filled the input buffer exactly, up to its empty line.
            answer_etx(false);
        } else {
            // The input buffer is full and no empty line ends it: a header
            // block larger than the buffer, or a request with a body. No
            // answer can come of it, so the connection goes.
            close_connection();
        }
        break;
    default:
        close_connection();
        break;
    }
}

bool simple_server_node::parse_one(const char*& cursor, const char* end, request_t& request)
{
    const char* next = nullptr;
    const char* target_begin = nullptr;
    const char* target_end = nullptr;
    std::string version;
    if (!parse_request(cursor, end, &next, &request.method, &target_begin, &target_end, &version,
                       &request.headers) ||
        version != "HTTP/1.1")
        return false;
    std::string scheme;
    if (!parse_url(target_begin, target_end, nullptr, &scheme, &request.user, &request.password,
                   nullptr, nullptr, &request.path, &request.query_begin, &request.query_end,
                   &request.fragment) ||
        (!scheme.empty() && scheme != "http"))
        return false;
    request.host = value_of(request.headers, "Host");
    cursor = next;
    return true;
}

void simple_server_node::answer_batch()
{
    batch_cursor = in_buffer;
    batch_end = in_buffer + io_done;
    batch_state = batch_t{out_buffer, out_size};
    io_length = 0;
    continue_batch();
}

// Answers the batch's requests from batch_cursor on; a request whose
// picture is on its way leaves the node idle, and on_step comes back here.
void simple_server_node::continue_batch()
{
    batch_waiting = false;
    while (batch_cursor != batch_end) {
        const char* request_begin = batch_cursor;
        request_t request;
        // A broken request ends the batch: nothing is sent, not even the
        // responses composed for the requests before it.
        if (!parse_one(batch_cursor, batch_end, request)) {
            close_connection();
            return;
        }
        composed_t composed = answer(request, batch_state);
        if (composed == composed_t::later) {
            batch_cursor = request_begin;
            batch_waiting = true;
            return;
        }
        if (composed == composed_t::no_room) {
            // The output buffer cannot hold even this answer: writing on
            // would run past it, so the connection closes instead.
            log_event("error detected");
            close_connection();
            return;
        }
        if (composed == composed_t::refused) {
            close_connection();
            return;
        }
        finish_response(batch_state);
    }
    io_buffer = out_buffer;
    io_buffer_size = out_size;
    start_logged_job(se_job_send, false);
}

simple_server_node::composed_t simple_server_node::answer(const request_t& request, batch_t& batch)
{
    // The method is not looked at before the connection is authorised.
    if (!authorized) {
        if (auth_attempts > max_auth_attempts)
            return short_response(batch, "403 Forbidden");
        ++auth_attempts;
        if (!credentials_match(request))
            return short_response(batch, "401 Unauthorized",
                                  "WWW-Authenticate: Basic realm=\"" + realm() + "\"\r\n");
        authorized = true;
        log_event("authorization detected");
    }
    return route(request, batch);
}

bool simple_server_node::credentials_match(const request_t& request) const
{
    // Credentials in the target pass too; with an empty login and password
    // every target without credentials does.
    if (request.user == settings.login && request.password == settings.password)
        return true;
    std::string pair = settings.login + ":" + settings.password;
    return value_of(request.headers, "Authorization") == "Basic " + base64_encode(pair.data(), pair.size());
}

simple_server_node::composed_t simple_server_node::route(const request_t& request, batch_t& batch)
{
    if (request.method != "GET")
        return composed_t::refused;
    text_map query;
    if (!parse_query(request.query_begin, request.query_end, nullptr, query))
        return composed_t::refused;
    std::string file_path = settings.root + request.path;
    if (!file_path.empty() && (file_path.back() == '/' || file_path.back() == '\\'))
        file_path += "index.htm";
    auto quality_value = query.find("q");
    if (quality_value != query.end())
        quality = read_decimal(quality_value->second);
    if (path_depth(request.path) < 0)
        return short_response(batch, "403 Forbidden");

    std::string name = file_name(file_path);
    if (name == "preview.jpg" || name == "preview.mjpeg") {
        if (live_picture_pending(*this))
            return composed_t::later;
        bool fits = (name == "preview.jpg" ? route_preview_jpg : route_preview_mjpeg)(
            *this, batch.at, batch.room, query, batch.length, batch.header_length);
        return fits ? composed_t::response : composed_t::no_room;
    }
    return serve_file(file_path, request, batch);
}

simple_server_node::composed_t simple_server_node::serve_file(const std::string& file_path,
                                                              const request_t& request,
                                                              batch_t& batch)
{
    struct stat status {};
    // A NUL inside the name would cut it short for the file system and name
    // another file than the one asked for: no file has such a name.
    if (file_path.find('\0') != std::string::npos || stat(file_path.c_str(), &status) != 0)
        return short_response(batch, "404 Not Found");
    if (S_ISDIR(status.st_mode)) {
        std::string query = request.query_begin
                                ? std::string(request.query_begin, request.query_end)
                                : std::string();
        std::string location = build_url("http", request.user, request.password, request.host,
                                         request.path + "/", query, request.fragment);
        // The Location line echoes the request: a line break in it would
        // add header lines of the client's choosing to our answer.
        if (location.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            return composed_t::refused;
        return short_response(batch, "302 Found", "Location: " + location + "\r\n");
    }
    // Only regular files: opening a FIFO or a device would block the whole
    // server step, or never end.
    if (!S_ISREG(status.st_mode))
        return short_response(batch, "404 Not Found");
    return serve_regular_file(file_path, static_cast<int64_t>(status.st_size), status.st_mtime, batch);
}

simple_server_node::composed_t simple_server_node::serve_regular_file(const std::string& file_path,
                                                                      int64_t size,
                                                                      std::time_t modified,
                                                                      batch_t& batch)
{
    std::string extension = file_extension(file_path);
    char header[512];
    int written = std::snprintf(header, sizeof(header),
                                "HTTP/1.1 200 OK\r\nLast-Modified: %s\r\nContent-Type: %s\r\nContent-Length: %lli\r\n\r\n",
                                http_date(modified).c_str(), mime_type(extension),
                                static_cast<long long>(size));
    if (written < 0 || static_cast<size_t>(written) >= sizeof(header) || written > batch.room)
        return composed_t::no_room;
    // 64-bit throughout: a file of any size is compared without overflow.
    if (static_cast<int64_t>(written) + size > batch.room)
        return short_response(batch, "500 Internal Server Error");
    FILE* file = std::fopen(file_path.c_str(), "rb");
    if (!file)
        return short_response(batch, "500 Internal Server Error");
    size_t read = size > 0 ? std::fread(batch.at + written, 1, static_cast<size_t>(size), file) : 0;
    std::fclose(file);
    // A file that shrank since its status was read would leave stale bytes
    // behind a Content-Length that promises the old size.
    if (static_cast<int64_t>(read) != size)
        return short_response(batch, "500 Internal Server Error");
    std::memcpy(batch.at, header, static_cast<size_t>(written));
    batch.header_length = written;
    batch.length = static_cast<int32_t>(written + size);
    return composed_t::response;
}

simple_server_node::composed_t simple_server_node::short_response(batch_t& batch, const char* status,
                                                                  const std::string& extra)
{
    batch.length = error_response(batch.at, batch.room, &batch.header_length, status, extra);
    return batch.length < 0 ? composed_t::no_room : composed_t::response;
}

void simple_server_node::finish_response(batch_t& batch)
{
    if (batch.length < 15 || std::memcmp(batch.at + 13, "OK", 2) != 0)
        log_event("error detected");
    log_block("header to send",
              std::string(batch.at, static_cast<size_t>(std::max(batch.header_length - 2, 0))));
    batch.at += batch.length;
    batch.room -= batch.length;
    io_length += batch.length;
}
