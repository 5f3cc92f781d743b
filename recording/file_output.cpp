// The recording file on a POSIX descriptor. write(2) on a regular file
// takes the whole buffer in one call unless the disk is full or a signal
// comes; the loop only finishes such a short write, so that the caller can
// cut the file back to its last whole fragment.
#include "recording/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "recording/recording.h"

namespace {

class fd_output_obj final : public file_output_t {
public:
    fd_output_obj(std::string path, int fd, const struct stat& status)
        : path_(std::move(path)), fd(fd), id{uint64_t(status.st_dev), uint64_t(status.st_ino)}
    {
        hold_recording_file(id, true);
    }
    ~fd_output_obj() override
    {
        hold_recording_file(id, false);
        ::close(fd);
    }

    int write_all(const uint8_t* bytes, size_t length) override
    {
        while (length > 0) {
            const ssize_t n = ::write(fd, bytes, length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : ENOSPC;
            bytes += n;
            length -= size_t(n);
        }
        return 0;
    }
    int cut_back(uint64_t length) override
    {
        if (::ftruncate(fd, off_t(length)) != 0 || ::lseek(fd, off_t(length), SEEK_SET) < 0)
            return errno;
        return 0;
    }
    int sync() override { return ::fdatasync(fd) == 0 ? 0 : errno; }
    void discard() override { ::unlink(path_.c_str()); }
    const std::string& path() const override { return path_; }

private:
    const std::string path_;  // as given to open_file_output
    const int fd;             // open for writing, closed by the destructor
    const file_id_t id;       // device and inode, for the retention sweep
};

}  // namespace

std::unique_ptr<file_output_t> open_file_output(const std::string& path, int* error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        *error = errno;
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    *error = 0;
    return std::make_unique<fd_output_obj>(path, fd, status);
}
