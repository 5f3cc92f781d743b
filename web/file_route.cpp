// file_route: files below the web root, whole, as one byte range, or in
// pieces over several sends; folders redirected.
#include "web/file_route.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/http_parse.h"
#include "http/http_text.h"
#include "settings/settings.h"

namespace {

// Connections with a file answer under way; they share the sending time of
// a server step.
int32_t file_senders = 0;

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

class file_route final : public route_handler {
public:
    ~file_route() override { close_file(); }

    route_answer_t answer(route_connection&, const route_request_t& request, route_slot_t& slot) override
    {
        struct stat status {};
        const std::string& path = request.file_path;
        // A NUL inside the name would cut it short for the file system and name
        // another file than the one asked for: no file has such a name.
        if (path.find('\0') != std::string::npos || stat(path.c_str(), &status) != 0)
            return route_short_answer(slot, "404 Not Found");
        if (S_ISDIR(status.st_mode))
            return redirect_folder(request, slot);
        // Only regular files: opening a FIFO or a device would block the whole
        // server step, or never end.
        if (!S_ISREG(status.st_mode))
            return route_short_answer(slot, "404 Not Found");
        return serve(request, static_cast<int64_t>(status.st_size), status.st_mtime, slot);
    }

    route_mode_t mode() const override { return fd >= 0 ? route_mode_t::pieces : route_mode_t::answered; }

    bool next_piece(route_connection& connection, char* buffer, int32_t size, int32_t& length,
                    bool& immediate) override
    {
        const int64_t count = std::min<int64_t>(end - at, size);
        // The header promised the length the file had: a file that shrank
        // cannot keep that promise, and only closing tells the client so.
        if (!read_piece(fd, at, buffer, count))
            return false;
        at += count;
        if (at == end)
            close_file();
        length = static_cast<int32_t>(count);
        immediate = turn_left(connection);
        return true;
    }

    void on_disconnected() override { close_file(); }

private:
    route_answer_t redirect_folder(const route_request_t& request, route_slot_t& slot)
    {
        std::string query = request.query_begin ? std::string(request.query_begin, request.query_end)
                                                : std::string();
        std::string location = build_url("http", request.user, request.password, request.host,
                                         request.path + "/", query, request.fragment);
        // The Location line echoes the request: a line break in it would
        // add header lines of the client's choosing to our answer.
        if (location.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            return route_answer_t::refused;
        return route_short_answer(slot, "302 Found", "Location: " + location + "\r\n");
    }

    route_answer_t serve(const route_request_t& request, int64_t size, std::time_t modified, route_slot_t& slot)
    {
        int64_t first = 0;
        int64_t last_end = size;
        byte_range_t range = parse_byte_range(route_header(request, "Range"), size, first, last_end);
        if (range == byte_range_t::unsatisfiable)
            return route_short_answer(slot, "416 Range Not Satisfiable",
                                      "Content-Range: bytes */" + std::to_string(size) + "\r\n");
        char header[640];
        char content_range[96] = "";
        if (range == byte_range_t::partial)
            std::snprintf(content_range, sizeof(content_range), "Content-Range: bytes %lli-%lli/%lli\r\n",
                          static_cast<long long>(first), static_cast<long long>(last_end - 1),
                          static_cast<long long>(size));
        int written = std::snprintf(header, sizeof(header),
                                    "HTTP/1.1 %s\r\nLast-Modified: %s\r\nContent-Type: %s\r\n%sContent-Length: %lli\r\n\r\n",
                                    range == byte_range_t::partial ? "206 Partial Content" : "200 OK",
                                    http_date(modified).c_str(), mime_type(file_extension(request.file_path)),
                                    content_range, static_cast<long long>(last_end - first));
        if (written < 0 || static_cast<size_t>(written) >= sizeof(header) || written > slot.room)
            return route_answer_t::no_room;
        // Kept open while the pieces go out: a rotation or a deletion of the
        // name meanwhile does not end the answer. Non-blocking, in case the name
        // became a FIFO since its status was read.
        int file = open(request.file_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (file < 0)
            return route_short_answer(slot, "500 Internal Server Error");
        const int64_t count = std::min(last_end - first, slot.room - written);
        // A file that shrank since its status was read would leave stale bytes
        // behind a Content-Length that promises the old size.
        if (!read_piece(file, first, slot.at + written, count)) {
            ::close(file);
            return route_short_answer(slot, "500 Internal Server Error");
        }
        std::memcpy(slot.at, header, static_cast<size_t>(written));
        slot.header_length = written;
        slot.length = static_cast<int32_t>(written + count);
        if (first + count == last_end) {
            ::close(file);
        } else {
            fd = file;
            at = first + count;
            end = last_end;
            ++file_senders;
        }
        return route_answer_t::response;
    }

    void close_file()
    {
        if (fd < 0)
            return;
        ::close(fd);
        fd = -1;
        --file_senders;
    }

    // Sending files may take half a pause of the server loop per step,
    // shared by every connection sending one, so that the other
    // connections' answers are not held up by more than that.
    static bool turn_left(const route_connection& connection)
    {
        const int64_t share = int64_t(std::max(settings.main_interval, 1)) * 500 / std::max(file_senders, 1);
        return route_clock_us() - connection.turn_started_us() < share;
    }

    int fd = -1;      // open while pieces of a file answer are still to be sent
    int64_t at = 0;   // offset of the next piece
    int64_t end = 0;  // offset just past the answer's last byte
};

}  // namespace

std::unique_ptr<route_handler> make_file_route() { return std::make_unique<file_route>(); }
