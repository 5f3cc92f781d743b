// The retention sweep and the rotation interval.
#include "camera/recording.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

void remove_old_files(const std::string& folder, std::time_t now, double max_age_s,
                      const std::string& keep_path)
{
    DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        const std::string path = folder + name;
        // The file being written is young by definition when the sweep runs at
        // the start of a recording, but not at a stop or rotation with a
        // retention shorter than the file's own length.
        if (path == keep_path)
            continue;
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
            continue;
        const double age = static_cast<double>(now - status.st_mtime);
        if (age > max_age_s)
            unlink(path.c_str());  // a failure is ignored: the next sweep retries
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
