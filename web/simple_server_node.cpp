// simple_server_node: receiving, the request batch, authentication, routing
// and files, with the node's log lines.
#include "web/simple_server_node.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/log.h"
#include "settings/settings.h"
#include "web/auth_lockout.h"
#include "http/http_parse.h"
#include "http/http_text.h"
#include "web/live_picture.h"
#include "web/media_index.h"

namespace {
const char* const separator_line = "//---------------------------------------------------------------------------\n";

// How often a node whose live picture is on its way looks again: the
// player's catch-up from a key frame takes tens of milliseconds.
constexpr int64_t picture_recheck_ms = 5;

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

// Connections with a file answer under way; they share the sending time of
// a server step.
int32_t file_senders = 0;

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// count bytes of the file at offset into dest; false when the file holds
// fewer bytes there now (it shrank) or cannot be read.
bool read_piece(int fd, int64_t offset, char* dest, int64_t count)
{
    while (count > 0) {
        const ssize_t n = pread(fd, dest, static_cast<size_t>(count), static_cast<off_t>(offset));
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        dest += n;
        offset += n;
        count -= n;
    }
    return true;
}
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
    close_file();
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

void simple_server_node::on_disconnected()
{
    close_file();
    log_event("disconnected");
}

void simple_server_node::close_file()
{
    if (file_fd < 0)
        return;
    ::close(file_fd);
    file_fd = -1;
    --file_senders;
}

bool simple_server_node::turn_left() const
{
    // Sending files may take half a pause of the server loop per step,
    // shared by every connection sending one, so that the other
    // connections' answers are not held up by more than that.
    const int64_t share = int64_t(std::max(settings.main_interval, 1)) * 500 / std::max(file_senders, 1);
    return now_us() - turn_started < share;
}

void simple_server_node::start_receiving()
{
    io_buffer = in_buffer;
    io_buffer_size = in_size;
    io_length = in_size;
    start_logged_job(se_job_recv, true);
}

int64_t simple_server_node::next_part_time() const
{
    return last_part_time + static_cast<int64_t>(static_cast<uint32_t>(part_delay));
}

bool simple_server_node::part_due() const
{
    // A millisecond clock: calendar seconds would pace every delay up to a
    // second at one part per second.
    return stream_clock_ms() >= next_part_time();
}

bool simple_server_node::batch_received() const
{
    return is_busy() && job() == se_job_recv && ends_with_empty_line();
}

bool simple_server_node::ends_with_empty_line() const
{
    return in_buffer && io_done >= 4 && io_done <= in_size &&
           std::memcmp(in_buffer + io_done - 4, "\r\n\r\n", 4) == 0;
}

void simple_server_node::on_step()
{
    // Within a turn the server steps the node again while its job asks to.
    if (!is_immediate())
        turn_started = now_us();
    if (!is_busy()) {
        if (batch_waiting)
            answer_rest();
        else if (streaming && part_due() && !live_picture_pending(*this))
            send_stream_part(*this);
        return;
    }
    etx_detected = batch_received();
    if (etx_detected)
        answer_etx(true);
}

se_interest_t simple_server_node::wait_interest() const
{
    se_interest_t interest = se_server_node::wait_interest();
    if (batch_received())
        interest.due_ms = 0;
    else if (picture_wait_start != 0 && !is_busy())
        interest.due_ms = stream_clock_ms() + picture_recheck_ms;  // the player catches up meanwhile
    else if (streaming && !is_busy())
        interest.due_ms = next_part_time();
    return interest;
}

void simple_server_node::answer_etx(bool abort_receive)
{
    etx_detected = true;
    // The block is logged as received, but for the password of a Basic
    // authorization, which the log must not hold.
    log_block("etx detected",
              hide_credentials(std::string(in_buffer, static_cast<size_t>(io_done - 2))));
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
            if (file_fd >= 0)
                send_next_piece();
            else if (batch_at < batch_end)
                answer_rest();
            else
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
    batch_at = 0;
    batch_end = io_done;
    answer_rest();
}

void simple_server_node::answer_rest()
{
    batch_waiting = false;
    const char* cursor = in_buffer + batch_at;
    const char* end = in_buffer + batch_end;
    batch_t batch{out_buffer, out_size};
    io_length = 0;
    // A file answer that continues past the buffer ends this send, and the
    // requests behind it wait for its last piece; a stream never ends, so
    // nothing follows its header.
    while (cursor != end && file_fd < 0 && !streaming) {
        const char* request_begin = cursor;
        const int32_t attempts = auth_attempts;
        request_t request;
        // A broken request ends the batch: nothing more is sent, not even
        // the responses composed for the requests before it.
        if (!parse_one(cursor, end, request)) {
            close_connection();
            return;
        }
        composed_t composed = answer(request, batch);
        if (composed == composed_t::later && io_length == 0) {
            // The picture is on its way: the node rests and on_step asks again.
            auth_attempts = attempts;
            batch_at = static_cast<int32_t>(request_begin - in_buffer);
            batch_waiting = true;
            return;
        }
        if ((composed == composed_t::no_room || composed == composed_t::later) && io_length > 0) {
            // Answered again from an empty buffer once this one is sent.
            auth_attempts = attempts;
            cursor = request_begin;
            break;
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
        finish_response(batch);
    }
    batch_at = static_cast<int32_t>(cursor - in_buffer);
    io_buffer = out_buffer;
    io_buffer_size = out_size;
    start_logged_job(se_job_send, false);
}

void simple_server_node::send_next_piece()
{
    const int64_t count = std::min<int64_t>(file_end - file_at, out_size);
    // The header promised the length the file had: a file that shrank
    // cannot keep that promise, and only closing tells the client so.
    if (!read_piece(file_fd, file_at, out_buffer, count)) {
        log_event("error detected");
        close_connection();
        return;
    }
    file_at += count;
    if (file_at == file_end)
        close_file();
    io_buffer = out_buffer;
    io_buffer_size = out_size;
    io_length = static_cast<int32_t>(count);
    start_logged_job(se_job_send, turn_left());
}

simple_server_node::composed_t simple_server_node::answer(const request_t& request, batch_t& batch)
{
    // The method is not looked at before the connection is authorised.
    if (!authorized) {
        // An address locked out for its failures elsewhere is not checked.
        if (auth_attempts > max_auth_attempts || auth_lockout.locked(peer_address_text(), lockout_clock_ms()))
            return short_response(batch, "403 Forbidden");
        ++auth_attempts;
        if (!credentials_match(request)) {
            count_failure(request);
            return short_response(batch, "401 Unauthorized",
                                  "WWW-Authenticate: Basic realm=\"" + realm() + "\"\r\n");
        }
        authorized = true;
        log_event("authorization detected");
    }
    return route(request, batch);
}

// Only requests that offered credentials count: a browser's first request
// without any is a question, not a guess.
void simple_server_node::count_failure(const request_t& request)
{
    const bool offered = request.headers.count("Authorization") != 0 || !request.user.empty() ||
                         !request.password.empty();
    if (offered && auth_lockout.note_failure(peer_address_text(), lockout_clock_ms())) {
        const auth_lockout_limits_t& limits = auth_lockout.current_limits();
        log_event("address locked out for " + std::to_string(limits.lock_ms / 1000) + " s after " +
                  std::to_string(limits.failures) + " failed authorizations");
    }
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
    // Browsers escape the blanks and brackets of recording names.
    const std::string path = percent_decode(request.path);
    std::string file_path = settings.root + path;
    if (!file_path.empty() && (file_path.back() == '/' || file_path.back() == '\\'))
        file_path += "index.htm";
    auto quality_value = query.find("q");
    if (quality_value != query.end())
        quality = read_decimal(quality_value->second);
    if (path_depth(path) < 0)
        return short_response(batch, "403 Forbidden");

    std::string name = file_name(file_path);
    if (path == media_index_name) {
        // Behind other answers a list cut short waits for an empty buffer.
        bool fits = route_media_index(batch.at, batch.room, io_length > 0, batch.length, batch.header_length);
        return fits ? composed_t::response : composed_t::no_room;
    }
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
    return serve_regular_file(file_path, static_cast<int64_t>(status.st_size), status.st_mtime, request,
                              batch);
}

simple_server_node::composed_t simple_server_node::serve_regular_file(const std::string& file_path,
                                                                      int64_t size,
                                                                      std::time_t modified,
                                                                      const request_t& request,
                                                                      batch_t& batch)
{
    int64_t first = 0;
    int64_t end = size;
    byte_range_t range = parse_byte_range(value_of(request.headers, "Range"), size, first, end);
    if (range == byte_range_t::unsatisfiable)
        return short_response(batch, "416 Range Not Satisfiable",
                              "Content-Range: bytes */" + std::to_string(size) + "\r\n");
    char header[640];
    char content_range[96] = "";
    if (range == byte_range_t::partial)
        std::snprintf(content_range, sizeof(content_range), "Content-Range: bytes %lli-%lli/%lli\r\n",
                      static_cast<long long>(first), static_cast<long long>(end - 1),
                      static_cast<long long>(size));
    int written = std::snprintf(header, sizeof(header),
                                "HTTP/1.1 %s\r\nLast-Modified: %s\r\nContent-Type: %s\r\n%sContent-Length: %lli\r\n\r\n",
                                range == byte_range_t::partial ? "206 Partial Content" : "200 OK",
                                http_date(modified).c_str(), mime_type(file_extension(file_path)),
                                content_range, static_cast<long long>(end - first));
    if (written < 0 || static_cast<size_t>(written) >= sizeof(header) || written > batch.room)
        return composed_t::no_room;
    // Kept open while the pieces go out: a rotation or a deletion of the
    // name meanwhile does not end the answer. Non-blocking, in case the name
    // became a FIFO since its status was read.
    int fd = open(file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return short_response(batch, "500 Internal Server Error");
    const int64_t count = std::min(end - first, batch.room - written);
    // A file that shrank since its status was read would leave stale bytes
    // behind a Content-Length that promises the old size.
    if (!read_piece(fd, first, batch.at + written, count)) {
        ::close(fd);
        return short_response(batch, "500 Internal Server Error");
    }
    std::memcpy(batch.at, header, static_cast<size_t>(written));
    batch.header_length = written;
    batch.length = static_cast<int32_t>(written + count);
    if (first + count == end) {
        ::close(fd);
    } else {
        file_fd = fd;
        file_at = first + count;
        file_end = end;
        ++file_senders;
    }
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
    // 200 and 206 are the answers that carry what was asked for.
    if (batch.length < 15 || (std::memcmp(batch.at + 9, "200", 3) != 0 && std::memcmp(batch.at + 9, "206", 3) != 0))
        log_event("error detected");
    log_block("header to send",
              std::string(batch.at, static_cast<size_t>(std::max(batch.header_length - 2, 0))));
    batch.at += batch.length;
    batch.room -= batch.length;
    io_length += batch.length;
}
