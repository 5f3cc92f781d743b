// The process-wide settings record and the two path helpers.
// Plain functions without state; callable from any thread.
#include "settings/settings.h"

#include "settings/settings_table.h"

settings_t::settings_t()
{
    for (const setting_t& setting : setting_table())
        apply_setting(setting, setting.default_text, *this);
}

settings_t settings;

std::string replace_extension(const std::string& path, const std::string& extension)
{
    const std::string::size_type dot = path.rfind('.');
    const std::string::size_type separator = path.find_last_of("\\/");
    // No "." at all, or the last "." belongs to a folder name: append.
    if (dot == std::string::npos || (separator != std::string::npos && separator > dot))
        return path + extension;
    return path.substr(0, dot) + extension;
}

std::string directory_of(const std::string& path)
{
    const std::string::size_type separator = path.find_last_of("\\/");
    if (separator == std::string::npos)
        return std::string();
    return path.substr(0, separator + 1);
}
