// The configuration file beside the executable: read once at start-up (read_cfg), written
// once at close (write_cfg), and the parameter dump. GUI thread only. The
// keys, their order and their conversions come from the table of settings.
#include "settings/config_file.h"

#include <cstdio>

#include "settings/file_places.h"
#include "settings/log.h"
#include "settings/settings_table.h"

namespace {

const char crlf[] = "\r\n";

// The configuration text of read_cfg steps 1-3 from the file's bytes: one
// line per LF, one trailing CR removed, empty and "//" lines dropped, every
// kept line followed by CR LF, one more CR LF at the end. 0x1A ends the text.
std::string configuration_text(const std::string& bytes)
{
    std::string readable = bytes.substr(0, bytes.find('\x1A'));
    std::string text;
    size_t start = 0;
    while (start < readable.size()) {
        size_t end = readable.find('\n', start);
        const size_t next = end == std::string::npos ? readable.size() : end + 1;
        if (end == std::string::npos)
            end = readable.size();
        std::string line = readable.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const bool comment = line.size() >= 2 && line[0] == '/' && line[1] == '/';
        if (!line.empty() && !comment) {
            text += line;
            text += crlf;
        }
        start = next;
    }
    text += crlf;
    return text;
}

// Whole-file read; false when the file cannot be opened.
bool read_file(const std::string& path, std::string& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char block[4096];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.append(block, count);
    std::fclose(file);
    return true;
}

}  // namespace

bool parse_params(const std::string& text, text_map& params)
{
    params.clear();
    size_t position = 0;
    while (text.compare(position, std::string::npos, crlf) != 0) {
        const size_t equals = text.find('=', position);
        if (equals == std::string::npos)
            return false;
        const size_t line_end = text.find(crlf, equals + 1);
        if (line_end == std::string::npos)
            return false;
        params.insert({text.substr(position, equals - position),
                       text.substr(equals + 1, line_end - equals - 1)});
        position = line_end + 2;
    }
    return true;
}

void read_cfg(const std::string& path, settings_t& s)
{
    std::string bytes;
    std::string text;
    if (read_file(path, bytes))
        text = configuration_text(bytes);
    else
        log_print("////can not read cfg-file\n");

    text_map params;
    if (!parse_params(text, params)) {
        log_print("////can not parse params\n");
        return;
    }

    // Each key touches its own members only, so the table's order serves.
    for (const setting_t& setting : setting_table()) {
        const text_map::const_iterator found = params.find(setting.key);
        if (found != params.end())
            apply_setting(setting, found->second, s);
    }
}

std::string cfg_text(const settings_t& s)
{
    std::string text;
    for (const setting_t& setting : setting_table()) {
        for (const char* line = setting.lines_before; *line != '\0'; ++line) {
            if (*line == '\n')
                text += crlf;
            else
                text += *line;
        }
        text += setting.key;
        text += '=';
        text += setting_text(setting, s);
        text += crlf;
    }
    return text;
}

void write_cfg(const std::string& path, const settings_t& s)
{
    std::FILE* file = open_private_file(path, "wb");
    if (file == nullptr)
        return;  // silently not written, nothing reported
    const std::string text = cfg_text(s);
    size_t start = 0;
    while (start < text.size()) {  // one line at a time, flushed after each
        size_t end = text.find(crlf, start);
        end = end == std::string::npos ? text.size() : end + 2;
        std::fwrite(text.data() + start, 1, end - start, file);
        std::fflush(file);
        start = end;
    }
    std::fclose(file);
}

void log_params(const settings_t& s)
{
    log_print("////params:\n");
    log_print("////ip=%s\n", s.ip.c_str());
    log_print("////port=%u\n", static_cast<unsigned>(s.port));
    log_print("////login=%s\n", s.login.c_str());
    log_print("////password=%s\n", s.password.c_str());
    log_print("////root=%s\n", s.root.c_str());
    log_print("////sizeof_in=%i\n", static_cast<int>(s.sizeof_in));
    log_print("////sizeof_out=%i\n", static_cast<int>(s.sizeof_out));
}
