// The command line options; see command_line.h.
#include "app/command_line.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "settings/file_places.h"

namespace {

const char* const usage_text =
    "Usage: kestrel [--config FILE] [--help] [--version]\n"
    "Shows, records and publishes the live video of one network camera.\n"
    "\n"
    "  --config FILE  read the configuration from FILE and write it back there;\n"
    "                 the log (FILE with the extension \".log\") and the default\n"
    "                 web root, photo and recording folders lie beside FILE.\n"
    "                 A FILE that does not exist is created with a random web\n"
    "                 password. Without this option all of them lie beside the\n"
    "                 executable.\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n";

int usage_error(const char* what, const char* option)
{
    std::fprintf(stderr, "kestrel: %s: %s\n%s", what, option, usage_text);
    return 2;
}

// Relative names are taken from the working folder of this moment.
bool set_config_file(const char* file)
{
    if (file == nullptr || file[0] == '\0')
        return false;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(file, error);
    if (error)
        return false;
    config_file_option = absolute.lexically_normal().string();
    return true;
}

}  // namespace

int read_command_line(int argc, char** argv)
{
    const char* const config_equals = "--config=";
    const size_t config_equals_length = std::strlen(config_equals);
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (std::strcmp(option, "--version") == 0) {
            std::printf("kestrel %s\n", KESTREL_VERSION);
            return 0;
        }
        if (std::strcmp(option, "--config") == 0) {
            if (i + 1 >= argc || !set_config_file(argv[++i]))
                return usage_error("missing or bad file name after", option);
            continue;
        }
        if (std::strncmp(option, config_equals, config_equals_length) == 0) {
            if (!set_config_file(option + config_equals_length))
                return usage_error("missing or bad file name in", option);
            continue;
        }
        return usage_error("unknown option", option);
    }
    return -1;
}
