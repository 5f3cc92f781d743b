// First-start set-up of an instance: its configuration file and web root.
#include "settings/instance_setup.h"

#include <filesystem>
#include <sys/random.h>
#include <system_error>

#include "settings/config_file.h"

std::string random_password()
{
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    const size_t letters = sizeof alphabet - 1;
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return std::string();
    std::string password;
    for (unsigned char byte : bytes)
        password += alphabet[byte % letters];  // 256 % 57 leaves a slight bias, harmless at 16 letters
    return password;
}

bool create_instance_cfg(const std::string& path, settings_t& s)
{
    std::error_code error;
    if (std::filesystem::exists(path, error) || error)
        return false;
    const std::string password = random_password();
    if (password.empty())
        return false;
    s.password = password;
    write_cfg(path, s);
    return std::filesystem::exists(path, error);
}

bool provide_web_root(const settings_t& s, const std::string& page_folder)
{
    std::error_code error;
    if (!s.cfg_root.empty() || s.root.empty() || std::filesystem::exists(s.root, error) ||
        !std::filesystem::is_directory(page_folder, error))
        return false;
    std::filesystem::create_directories(s.root, error);
    if (error)
        return false;
    std::filesystem::copy(page_folder, s.root, std::filesystem::copy_options::recursive, error);
    return !error;
}
