// FFmpeg's log callback: warnings and errors become kestrel log lines, with a
// budget so that a damaged stream (one message per broken slice) cannot
// flood the log. Each thread assembles its own partial lines.
#include "player/ff_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "settings/log.h"

namespace {

// Messages let through per window, and the window's length: a lossy UDP
// link warns several times a second, for days on an unattended machine.
constexpr int log_budget = 20;
constexpr auto log_window = std::chrono::minutes(10);

std::mutex budget_mutex;                          // guards the two below
std::chrono::steady_clock::time_point window_start;  // start of the current window
int window_count = 0;                             // messages seen in the window

// True when the message may be written; announces once per window that the
// rest of it is being left out.
bool take_budget()
{
    std::lock_guard<std::mutex> lock(budget_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - window_start >= log_window) {
        window_start = now;
        window_count = 0;
    }
    window_count++;
    if (window_count == log_budget + 1)
        log_print("%s av: further messages left out for a while\n", utc_timestamp().c_str());
    return window_count <= log_budget;
}

void write_line(std::string& line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (!line.empty() && take_budget())
        log_print("%s av: %s\n", utc_timestamp().c_str(), line.c_str());
    line.clear();
}

void ff_log_callback(void* avcl, int level, const char* format, va_list args)
{
    // A message may come in pieces; the piece that ends with "\n" ends it.
    thread_local std::string pending;
    thread_local int print_prefix = 1;
    if (level > AV_LOG_WARNING)
        return;
    char text[1024];
    av_log_format_line2(avcl, level, format, args, text, sizeof text, &print_prefix);
    pending += text;
    if (print_prefix || pending.size() > 4096)
        write_line(pending);
}

}  // namespace

void ff_log_install()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(ff_log_callback); });
}
