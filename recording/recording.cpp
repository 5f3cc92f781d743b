// The retention sweep, the rotation interval and the list of files being
// recorded (a few entries at most: one per running recorder).
#include "recording/recording.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "settings/log.h"
#include "settings/metrics.h"

namespace {

std::mutex held_mutex;             // guards held_files
std::vector<file_id_t> held_files; // files open for recording, one entry per hold

bool same_file(const file_id_t& a, const file_id_t& b)
{
    return a.device == b.device && a.inode == b.inode;
}

}  // namespace

void hold_recording_file(const file_id_t& id, bool held)
{
    std::lock_guard<std::mutex> lock(held_mutex);
    if (held) {
        held_files.push_back(id);
        return;
    }
    auto it = std::find_if(held_files.begin(), held_files.end(),
                           [&](const file_id_t& f) { return same_file(f, id); });
    if (it != held_files.end())
        held_files.erase(it);
}

bool recording_file_held(const file_id_t& id)
{
    std::lock_guard<std::mutex> lock(held_mutex);
    return std::any_of(held_files.begin(), held_files.end(),
                       [&](const file_id_t& f) { return same_file(f, id); });
}

void remove_old_files(const std::string& folder, std::time_t now, double max_age_s)
{
    // An empty folder text names no folder: the sweep must never turn on the
    // working directory, whatever lies there.
    if (folder.empty())
        return;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string path = folder + name;
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
            continue;
        // A file being recorded may look old: nothing is written to it while
        // the camera is away, and a retention shorter than the rotation
        // would otherwise unlink it under the recorder.
        if (recording_file_held({uint64_t(status.st_dev), uint64_t(status.st_ino)}))
            continue;
        const double age = static_cast<double>(now - status.st_mtime);
        if (age > max_age_s && unlink(path.c_str()) == 0) {  // a failure: the next sweep retries
            log_print("%s rec: %s deleted, older than %.1f h\n", utc_timestamp().c_str(),
                      path.c_str(), max_age_s / 3600.0);
            metric_add(metrics.deleted_by_age);
        }
    }
    closedir(listing);
}

int32_t rec_timer_interval_ms(double hours)
{
    if (!(hours > 0))
        return 0;
    const double ms = hours * 3600.0 * 1000.0;
    const double largest = static_cast<double>(std::numeric_limits<int32_t>::max());
    if (ms >= largest)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(ms);
}
