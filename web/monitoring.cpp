// The metrics text and the health check. Every family carries its HELP and
// TYPE lines; labelled families list the labels seen so far. The process
// figures come from /proc/self, as the usual Prometheus clients read them.
#include "web/monitoring.h"

#include <dirent.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "http/http_text.h"
#include "player/video_state.h"
#include "settings/metrics.h"

namespace {

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, const std::string& value)
{
    out += name;
    out += labels;
    out += ' ';
    out += value;
    out += '\n';
}

std::string number(int64_t v) { return std::to_string(v); }
std::string number(uint64_t v) { return std::to_string(v); }
std::string number(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// Seconds to the clock tick: no binary fraction digits.
std::string fixed(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

void one(std::string& out, const char* name, const char* type, const char* help,
         const std::string& value)
{
    family(out, name, type, help);
    sample(out, name, "", value);
}

// Label values are route names and numbers; escaped as the format asks all the same.
std::string label(const char* key, const std::string& value)
{
    std::string out = std::string("{") + key + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"}";
}

struct process_figures_t {
    bool known = false;
    double cpu_s = 0;
    uint64_t resident_bytes = 0;
    double start_time_s = 0;
    int64_t open_fds = 0;
};

double boot_time_s()
{
    std::ifstream stat("/proc/stat");
    std::string key;
    double value = 0;
    while (stat >> key) {
        if (key == "btime" && stat >> value)
            return value;
        stat.ignore(1 << 20, '\n');
    }
    return 0;
}

process_figures_t process_figures()
{
    process_figures_t p;
    std::ifstream file("/proc/self/stat");
    std::string text;
    std::getline(file, text);
    // The command name may hold spaces and parentheses: the fields follow the last ")".
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return p;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // Field 3 (state) is the first here; utime 14, stime 15, starttime 22, rss 24.
    double utime = 0, stime = 0, start = 0, rss = 0;
    for (int n = 3; n <= 24 && fields >> field; n++) {
        if (n == 14)
            utime = std::atof(field.c_str());
        else if (n == 15)
            stime = std::atof(field.c_str());
        else if (n == 22)
            start = std::atof(field.c_str());
        else if (n == 24)
            rss = std::atof(field.c_str());
    }
    const double ticks = double(sysconf(_SC_CLK_TCK));
    p.cpu_s = (utime + stime) / ticks;
    p.start_time_s = boot_time_s() + start / ticks;
    p.resident_bytes = uint64_t(rss) * uint64_t(sysconf(_SC_PAGESIZE));
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds))
            if (entry->d_name[0] != '.')
                p.open_fds++;
        closedir(fds);
        p.open_fds--;  // the listing's own descriptor
    }
    p.known = true;
    return p;
}

int64_t ms_since(int64_t then_ms, int64_t now_ms) { return then_ms > 0 ? now_ms - then_ms : -1; }

}  // namespace

std::string metrics_text()
{
    std::string out;
    out.reserve(4096);
    const auto& m = metrics;
    one(out, "kestrel_camera_connected", "gauge", "Whether the camera's stream is being received (0 or 1).",
        number(int64_t(metric_get(m.camera_connected))));
    one(out, "kestrel_camera_reconnects_total", "counter", "Times the camera's stream was opened again after it dropped.",
        number(metric_get(m.camera_reconnects)));
    one(out, "kestrel_camera_packets_total", "counter", "Packets received from the camera.",
        number(metric_get(m.camera_packets)));
    one(out, "kestrel_camera_bytes_total", "counter", "Bytes of the packets received from the camera.",
        number(metric_get(m.camera_bytes)));
    one(out, "kestrel_recording_active", "gauge", "Whether a recording file is being written (0 or 1).",
        number(int64_t(metric_get(m.recording_files_open) > 0 ? 1 : 0)));
    one(out, "kestrel_recording_paused", "gauge", "Whether recording waits for free space (0 or 1).",
        number(int64_t(metric_get(m.recorders) > 0 &&
                       metric_get(m.recording_stall) == int(rec_stall_t::no_space))));
    one(out, "kestrel_recording_bytes_total", "counter", "Bytes written to recording files.",
        number(metric_get(m.recording_bytes)));
    family(out, "kestrel_recording_files_deleted_total", "counter",
           "Recordings deleted, for their age or to free space.");
    sample(out, "kestrel_recording_files_deleted_total", label("reason", "age"),
           number(metric_get(m.deleted_by_age)));
    sample(out, "kestrel_recording_files_deleted_total", label("reason", "space"),
           number(metric_get(m.deleted_for_space)));
    const int64_t free = metric_get(m.recording_free_bytes);
    if (free >= 0)
        one(out, "kestrel_recording_free_bytes", "gauge",
            "Free bytes on the recording folder's file system at the last look.", number(free));
    family(out, "kestrel_http_requests_total", "counter", "Requests answered, by status code.");
    for (const labelled_count_t& c : metrics_answers())
        sample(out, "kestrel_http_requests_total", label("code", c.label), number(c.value));
    one(out, "kestrel_http_connections", "gauge", "Open connections to the web server.",
        number(int64_t(metric_get(m.http_connections))));
    family(out, "kestrel_stream_clients", "gauge", "Clients of a streaming route.");
    for (const labelled_count_t& c : metrics_stream_clients())
        sample(out, "kestrel_stream_clients", label("route", c.label), number(c.value));

    const process_figures_t p = process_figures();
    if (p.known) {
        one(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
            number(p.cpu_s));
        one(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
            number(p.resident_bytes));
        one(out, "process_open_fds", "gauge", "Number of open file descriptors.", number(p.open_fds));
        one(out, "process_start_time_seconds", "gauge",
            "Start time of the process since unix epoch in seconds.", fixed(p.start_time_s));
    }
    return out;
}

health_t health_at(int64_t now_ms, bool demo)
{
    const auto& m = metrics;
    char text[160];
    if (demo)
        return {true, "ok: demo mode, no camera"};
    if (metric_get(m.camera_connected) == 0)
        return {false, "camera not connected"};
    const int64_t camera_silent = ms_since(metric_get(m.camera_last_packet_ms), now_ms);
    if (camera_silent > health_silence_ms) {
        std::snprintf(text, sizeof text, "camera stream stopped: no video for %" PRId64 " s",
                      camera_silent / 1000);
        return {false, text};
    }
    if (metric_get(m.recorders) == 0)
        return {true, "ok: camera delivers video, not recording"};
    const int stall = metric_get(m.recording_stall);
    if (stall == int(rec_stall_t::no_space))
        return {false, "recording paused: no space left in the recording folder"};
    if (stall == int(rec_stall_t::write_failed))
        return {false, "recording stopped: a recording file can not be written"};
    const int64_t recording_silent = ms_since(metric_get(m.recording_last_packet_ms), now_ms);
    if (recording_silent > health_silence_ms) {
        std::snprintf(text, sizeof text, "recording stalled: nothing written for %" PRId64 " s",
                      recording_silent / 1000);
        return {false, text};
    }
    return {true, "ok: camera delivers video, recording"};
}

namespace {

constexpr const char* no_cache = "Cache-Control: no-store\r\n";

// A one-shot text answer; no_room when it does not fit (the connection
// then tries again from an empty buffer, or closes).
route_answer_t text_answer(route_slot_t& slot, const char* status, const char* type,
                           const std::string& body)
{
    slot.length = error_response(slot.at, slot.room, &slot.header_length, status, no_cache, type, body);
    return slot.length < 0 ? route_answer_t::no_room : route_answer_t::response;
}

class metrics_route final : public route_handler {
public:
    route_answer_t answer(route_connection&, const route_request_t&, route_slot_t& slot) override
    {
        return text_answer(slot, "200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics_text());
    }
};

class health_route final : public route_handler {
public:
    route_answer_t answer(route_connection&, const route_request_t&, route_slot_t& slot) override
    {
        player_lock.enter();
        const bool demo = demo_mode_on;
        player_lock.leave();
        const health_t health = health_at(metrics_clock_ms(), demo);
        return text_answer(slot, health.ok ? "200 OK" : "503 Service Unavailable",
                           "text/plain; charset=utf-8", health.text + "\n");
    }
};

}  // namespace

std::unique_ptr<route_handler> make_metrics_route() { return std::make_unique<metrics_route>(); }
std::unique_ptr<route_handler> make_health_route() { return std::make_unique<health_route>(); }
