// The file places derived from the executable's path and the --config option.
#include "settings/file_places.h"

#include <cstring>
#include <filesystem>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/settings.h"

std::string config_file_option;

std::string cfg_file_path(const std::string& exe_path)
{
    if (!config_file_option.empty())
        return config_file_option;
    return replace_extension(exe_path, ".cfg");
}

std::string log_file_path(const std::string& exe_path)
{
    return replace_extension(cfg_file_path(exe_path), ".log");
}

std::string default_folder(const std::string& exe_path)
{
    return directory_of(cfg_file_path(exe_path));
}

std::string default_web_page(const std::string& exe_path)
{
    std::string bin = directory_of(exe_path);
    if (bin.size() >= 2) {
        bin.pop_back();  // the separator after "bin"
        const std::string packaged = directory_of(bin) + "share/kestrel/www/";
        std::error_code error;
        if (std::filesystem::is_directory(packaged, error))
            return packaged;
    }
    return directory_of(exe_path) + "root/";
}

std::FILE* open_private_file(const std::string& path, const char* mode)
{
    if (mode == nullptr || mode[0] == '\0')
        return nullptr;
    const bool update = std::strchr(mode, '+') != nullptr;
    int flags = 0;
    switch (mode[0]) {
    case 'r': flags = update ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: return nullptr;
    }
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    // A file left readable by others (an older run, a copy) is narrowed as
    // soon as it is written again.
    if (mode[0] != 'r')
        ::fchmod(fd, 0600);
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr)
        ::close(fd);
    return file;
}
