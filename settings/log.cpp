// The program's log: one file opened at start-up and closed at close (GUI
// thread), written by log_print from any thread. Each message is formatted
// and CR LF-translated into a private buffer first, then stored with one
// fwrite + fflush under log_lock, so messages are never split or interleaved.
// Past its size limit the file is moved aside to ".1" and begun again.
#include "settings/log.h"

#include <strings.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "settings/file_places.h"

mt_obj log_lock;

namespace {

// Log state; written by log_open/log_close, read by log_print, all under
// log_lock.
bool log_to_file = false;        // output goes to the log file
bool log_to_console = false;     // output also goes to standard output
std::FILE* log_file = nullptr;   // the open log file, or none
std::string log_path;            // where log_file lies
size_t log_bytes = 0;            // bytes in log_file
size_t log_limit = 0;            // begin again past this many bytes; 0 = not set yet

constexpr size_t default_log_limit = 16u << 20;

size_t limit_from_environment()
{
    const char* text = std::getenv("KESTREL_TEST_LOG_LIMIT");
    if (text == nullptr || *text == '\0')
        return default_log_limit;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    return (*end == '\0' && n > 0) ? size_t(n) : default_log_limit;
}

// The file is moved aside and begun again, so that the log holds the newest
// messages in at most twice the limit. Under log_lock.
void rotate_log()
{
    std::fclose(log_file);
    std::rename(log_path.c_str(), (log_path + ".1").c_str());
    // Begun again, not appended to: the name now stands for an empty file.
    log_file = open_private_file(log_path, "wb");
    log_bytes = 0;
}

bool same_name(const std::string& text, size_t at, size_t length, const char* name)
{
    return length == std::strlen(name) && strncasecmp(text.c_str() + at, name, length) == 0;
}

// printf-style formatting into text; false when the format fails.
bool format_message(std::string& text, const char* format, std::va_list args)
{
    char small[1024];
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        va_end(again);
        return false;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        std::vector<char> big(static_cast<size_t>(length) + 1);
        const int second = std::vsnprintf(big.data(), big.size(), format, again);
        if (second < 0) {
            va_end(again);
            return false;
        }
        text.assign(big.data(), static_cast<size_t>(second));
    }
    va_end(again);
    return true;
}

// Every "\n" becomes CR LF, as a Windows text-mode file stores it.
std::string to_crlf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// One write and one flush; true when both succeeded.
bool write_whole(std::FILE* file, const std::string& bytes)
{
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool flushed = std::fflush(file) == 0;
    return written && flushed;
}

}  // namespace

bool log_open(bool to_file, bool to_console, const char* path, const char* mode)
{
    mt_guard_t guard(log_lock);
    if (log_file != nullptr) {  // not done by the program; keeps a reopen sane
        std::fclose(log_file);
        log_file = nullptr;
    }
    log_to_file = to_file;
    log_to_console = to_console;
    if (!to_file)
        return true;
    if (path == nullptr || mode == nullptr)
        return false;
    // The line ends are translated here, so the file itself is opened in
    // binary mode (no second translation where the C library has a text mode).
    std::string binary_mode = mode;
    if (binary_mode.find('b') == std::string::npos)
        binary_mode += 'b';
    if (log_limit == 0)
        log_limit = limit_from_environment();
    log_path = path;
    if (binary_mode[0] == 'w')
        std::remove((log_path + ".1").c_str());  // the run before's older part
    log_file = open_private_file(path, binary_mode.c_str());
    if (log_file == nullptr)
        return false;
    std::fseek(log_file, 0, SEEK_END);
    const long at = std::ftell(log_file);
    log_bytes = at > 0 ? size_t(at) : 0;
    return true;
}

bool log_print(const char* format, ...)
{
    std::string text;
    std::va_list args;
    va_start(args, format);
    const bool formatted = format != nullptr && format_message(text, format, args);
    va_end(args);

    // Translation happens before the lock is taken: the lock only covers the
    // write itself.
    std::string file_bytes;
    if (formatted)
        file_bytes = to_crlf(text);

    mt_guard_t guard(log_lock);
    if (!log_to_file)
        return formatted && write_whole(stdout, text);

    bool console_ok = true;
    if (log_to_console)
        console_ok = formatted && write_whole(stdout, text);
    // A log that is not open (never opened, failed to open or closed) is a
    // selected output that did not succeed: nothing is written, result false.
    if (log_file != nullptr && log_bytes > 0 && log_bytes + file_bytes.size() > log_limit)
        rotate_log();
    if (log_file == nullptr)
        return false;
    const bool file_ok = formatted && write_whole(log_file, file_bytes);
    if (formatted)
        log_bytes += file_bytes.size();
    return file_ok && console_ok;
}

void log_close()
{
    mt_guard_t guard(log_lock);
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
}

size_t log_limit_bytes()
{
    mt_guard_t guard(log_lock);
    return log_limit != 0 ? log_limit : limit_from_environment();
}

void log_set_limit_bytes(size_t bytes)
{
    mt_guard_t guard(log_lock);
    log_limit = bytes;
}

std::string hide_credentials(const std::string& header_block)
{
    std::string out;
    out.reserve(header_block.size());
    size_t at = 0;
    while (at < header_block.size()) {
        size_t end = header_block.find('\n', at);
        end = end == std::string::npos ? header_block.size() : end + 1;
        const size_t colon = header_block.find(':', at);
        if (colon < end && (same_name(header_block, at, colon - at, "Authorization") ||
                            same_name(header_block, at, colon - at, "Proxy-Authorization"))) {
            // "Name: scheme" stays; the rest of the value, up to the line end, goes.
            size_t scheme = colon + 1;
            while (scheme < end && (header_block[scheme] == ' ' || header_block[scheme] == '\t'))
                scheme++;
            size_t scheme_end = scheme;
            while (scheme_end < end && !std::isspace(static_cast<unsigned char>(header_block[scheme_end])))
                scheme_end++;
            size_t line_end = end;
            while (line_end > scheme_end && (header_block[line_end - 1] == '\n' ||
                                             header_block[line_end - 1] == '\r'))
                line_end--;
            out.append(header_block, at, scheme_end - at);
            if (line_end > scheme_end)
                out += " (hidden)";
            out.append(header_block, line_end, end - line_end);
        } else {
            out.append(header_block, at, end - at);
        }
        at = end;
    }
    return out;
}

std::string utc_timestamp_of(std::time_t t)
{
    std::tm parts{};
    if (gmtime_r(&t, &parts) == nullptr)
        return "0000-00-00 00-00-00 (UTC)";  // a time the platform cannot break down
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u-%02u-%02u (UTC)",
                  static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_mon + 1),
                  static_cast<unsigned>(parts.tm_mday), static_cast<unsigned>(parts.tm_hour),
                  static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec));
    return text;
}

std::string utc_timestamp() { return utc_timestamp_of(std::time(nullptr)); }
