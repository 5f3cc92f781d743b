// The free-space rule and the sweep that keeps it. The sweep lists the
// folder once, sorts the recordings by the start time in their names and
// deletes from the oldest, asking the file system for its free space after
// each deletion, so that it stops as soon as there is room.
#include "recording/disk_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "recording/recording.h"
#include "settings/log.h"
#include "settings/metrics.h"

namespace {

// Five minutes of recording: time enough for anyone to notice a disk that
// fills faster than the sweep keeps up, and several key-frame intervals.
constexpr double keep_seconds = 300.0;

bool digits(const std::string& text, size_t at, size_t count)
{
    for (size_t i = at; i < at + count; i++)
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// "YYYY-MM-DD hh-mm-ss (UTC)": the 25 characters of utc_timestamp.
bool is_timestamp(const std::string& name)
{
    static const char shape[] = "dddd-dd-dd dd-dd-dd (UTC)";
    if (name.size() < 25)
        return false;
    for (size_t i = 0; i < 25; i++) {
        if (shape[i] == 'd' ? !digits(name, i, 1) : name[i] != shape[i])
            return false;
    }
    return true;
}

// The number after the time stamp: 1 for the plain name, N for "-N".
int sequence_of(const std::string& name)
{
    if (name.size() == 29)
        return 1;
    return std::atoi(name.c_str() + 26);
}

struct recording_entry_t {
    std::string name;
    int sequence;
};

std::vector<recording_entry_t> list_recordings(const std::string& folder)
{
    std::vector<recording_entry_t> list;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return list;
    while (const dirent* entry = readdir(listing)) {
        // Most names are told apart by their first byte, with no copy made.
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) ||
            !std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        std::string name = entry->d_name;
        if (is_recording_name(name)) {
            const int sequence = sequence_of(name);
            list.push_back({std::move(name), sequence});
        }
    }
    closedir(listing);
    // The time stamp sorts as text; files begun in one second by their number.
    std::sort(list.begin(), list.end(), [](const recording_entry_t& a, const recording_entry_t& b) {
        const int c = a.name.compare(0, 25, b.name, 0, 25);
        return c != 0 ? c < 0 : a.sequence < b.sequence;
    });
    return list;
}

std::string mib_text(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

space_rule_t space_rule(uint64_t file_system_bytes, double bytes_per_s)
{
    space_rule_t rule;
    const double rate = bytes_per_s > 0 ? bytes_per_s : 0;
    const uint64_t by_rate = uint64_t(rate * keep_seconds);
    const uint64_t share = file_system_bytes / 100;
    rule.keep_free = std::min(std::max(by_rate, share), file_system_bytes / 4);
    rule.pause_below = rule.keep_free / 4;
    rule.resume_at = rule.keep_free / 2;
    rule.max_file = file_system_bytes / 8;
    return rule;
}

bool disk_space_of(const std::string& folder, uint64_t* size, uint64_t* free)
{
    struct statvfs fs;
    if (folder.empty() || statvfs(folder.c_str(), &fs) != 0)
        return false;
    const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    *size = uint64_t(fs.f_blocks) * unit;
    *free = uint64_t(fs.f_bavail) * unit;
    return true;
}

bool is_recording_name(const std::string& name)
{
    if (!is_timestamp(name))
        return false;
    const std::string_view rest = std::string_view(name).substr(25);
    if (rest == ".mp4")
        return true;
    // "-N.mp4", N of 2..99 without a leading zero.
    if (rest.size() < 6 || rest.size() > 7 || rest[0] != '-' || rest[1] == '0' ||
        rest.substr(rest.size() - 4) != ".mp4" || !digits(name, 26, rest.size() - 5))
        return false;
    return std::atoi(name.c_str() + 26) >= 2;
}

room_result_t make_room(const std::string& folder, uint64_t keep_free)
{
    room_result_t result;
    uint64_t size = 0;
    if (!disk_space_of(folder, &size, &result.free))
        return result;
    result.known = true;
    if (result.free < keep_free) {
        const std::vector<recording_entry_t> list = list_recordings(folder);
        const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (size_t i = 0; i < list.size() && result.free < keep_free && dir_fd >= 0; i++) {
            const std::string& name = list[i].name;
            struct stat status;
            if (fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(status.st_mode) ||
                recording_file_held({uint64_t(status.st_dev), uint64_t(status.st_ino)}))
                continue;
            if (unlinkat(dir_fd, name.c_str(), 0) != 0)
                continue;
            log_print("%s rec: %s%s deleted, free space %s was below %s\n", utc_timestamp().c_str(),
                      folder.c_str(), name.c_str(), mib_text(result.free).c_str(),
                      mib_text(keep_free).c_str());
            metric_add(metrics.deleted_for_space);
            result.deleted++;
            // Some file systems free the blocks a moment later: the file's
            // own blocks count at once, so that no more is deleted than needed.
            const uint64_t expected = result.free + uint64_t(status.st_blocks) * 512u;
            disk_space_of(folder, &size, &result.free);
            result.free = std::max(result.free, expected);
        }
        if (dir_fd >= 0)
            ::close(dir_fd);
        result.nothing_left = result.free < keep_free;
    }
    metric_set(metrics.recording_free_bytes, int64_t(result.free));
    return result;
}
