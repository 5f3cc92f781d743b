// The configuration file beside the executable: read once at start-up (read_cfg), written
// once at close (write_cfg), and the parameter dump. GUI thread only.
// Numbers are converted without regard to the process locale (a Qt program
// may set one): floats through the "C" locale, integers by hand.
#include "settings/config_file.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

#include "settings/file_places.h"
#include "settings/log.h"

namespace {

const char crlf[] = "\r\n";

// The "C" locale for strtod_l, made once and kept for the life of the process.
locale_t c_locale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// The value's leading decimal number as strtol reads it: leading blanks, an
// optional sign, then digits up to the first other character; no digits give
// 0. A number outside the 32-bit range saturates to INT32_MIN or INT32_MAX
// (as a 32-bit strtol does), so no input overflows.
int32_t leading_int(const std::string& value)
{
    size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    // Magnitude capped just above the largest 32-bit magnitude (2^31).
    const int64_t cap = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (value[i] - '0');
        if (magnitude > cap)
            magnitude = cap + 1;
    }
    if (negative)
        return magnitude >= cap ? INT32_MIN : static_cast<int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

// The low 16 bits of the leading number (port keys).
uint16_t leading_port(const std::string& value)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(leading_int(value)) & 0xFFFFu);
}

// The value's leading floating-point number as strtod reads it in the "C"
// locale (point as separator, exponent allowed); none gives 0.
double leading_double(const std::string& value)
{
    const locale_t locale = c_locale();
    if (locale == static_cast<locale_t>(nullptr))
        return std::strtod(value.c_str(), nullptr);  // cannot happen on glibc
    return strtod_l(value.c_str(), nullptr, locale);
}

// printf's "%g" (6 significant digits, no trailing zeros) in the "C" locale.
std::string general_text(double value)
{
    char text[64];
    const std::to_chars_result result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return std::string(text, result.ptr);
}

const char* bool_text(bool value) { return value ? "true" : "false"; }

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

    // Applies one key when present, in the order the calls below are made.
    auto with = [&params](const char* key, auto apply) {
        const text_map::const_iterator found = params.find(key);
        if (found != params.end())
            apply(found->second);
    };
    auto as_text = [&with](const char* key, std::string& field) {
        with(key, [&field](const std::string& v) { field = v; });
    };
    auto as_folder = [&with](const char* key, std::string& field, std::string& cfg_field) {
        with(key, [&](const std::string& v) {
            if (!v.empty()) {
                field = v;
                cfg_field = v;
            }
        });
    };
    auto as_int = [&with](const char* key, int32_t& field) {
        with(key, [&field](const std::string& v) { field = leading_int(v); });
    };
    auto as_port = [&with](const char* key, uint16_t& field) {
        with(key, [&field](const std::string& v) { field = leading_port(v); });
    };
    auto as_double = [&with](const char* key, double& field) {
        with(key, [&field](const std::string& v) { field = leading_double(v); });
    };
    auto as_bool = [&with](const char* key, bool& field) {
        with(key, [&field](const std::string& v) { field = v == "true"; });
    };

    as_bool("demo", s.demo);
    as_text("ip", s.ip);
    as_port("port", s.port);
    as_text("login", s.login);
    as_text("password", s.password);
    as_folder("root", s.root, s.cfg_root);
    as_int("sizeof_in", s.sizeof_in);
    as_int("sizeof_out", s.sizeof_out);
    as_text("ipc_ip", s.ipc_ip);
    as_port("ipc_port", s.ipc_port);
    as_text("ipc_login", s.ipc_login);
    as_text("ipc_password", s.ipc_password);
    as_int("channel", s.channel);
    as_int("link_mode", s.link_mode);
    as_bool("rec_active", s.rec_active);
    as_double("rec_add_interval", s.rec_add_interval);
    as_double("rec_remove_interval", s.rec_remove_interval);
    as_int("img_size", s.img_size);
    as_int("img_quality", s.img_quality);
    as_folder("img_path", s.img_path, s.cfg_img_path);
    as_folder("rec_path", s.rec_path, s.cfg_rec_path);
    as_int("con_wait_time", s.con_wait_time);
    as_int("con_try_times", s.con_try_times);
    as_int("recon_interval", s.recon_interval);
    as_bool("full_screen_mode", s.full_screen_mode);
    as_bool("daemon_mode", s.daemon_mode);
    as_bool("stay_on_top_mode", s.stay_on_top_mode);
    as_bool("compact_mode", s.compact_mode);
    as_bool("tray_mode", s.tray_mode);
    as_int("alpha", s.alpha);
    as_int("width", s.width);
    as_int("height", s.height);
    as_bool("minimized", s.minimized);
    as_int("frame_delay", s.frame_delay);
    as_int("main_interval", s.main_interval);
}

std::string cfg_text(const settings_t& s)
{
    std::string text;
    auto line = [&text](const std::string& content) {
        text += content;
        text += crlf;
    };
    auto number = [](long long value) { return std::to_string(value); };

    line("//root: Absolute path");
    line("//channel: Preview channel NO");
    line("//link_mode: The high bit (31) 0 means the main stream, while 1 means the sub stream. "
         "Bit 0~bit 30 are used for link mode: 0: TCP mode, 1: UDP mode, 2: Multi-play mode, "
         "3: RTP mode");
    line("//img_size: 0 - CIF, 1 - QCIF, 2 - D1, 3 - UXGA(1600x1200), 4 - SVGA(800x600), "
         "5 - HD720p(1280x720), 6 - VGA, 7 - XVGA, 8 - HD900p, 9 - HD1080, 10 - 2560x1920, "
         "11 - 1600x304, 12 - 2048x1536, 13 - 2448x2048, 14 - 2448x1200, 15 - 2448x800, "
         "16 - XGA(1024x768), 17 - SXGA(1280x1024), 18 - WD1(960x576/960x480), 19 - 1080i");
    line("//img_quality: 0 - best, 1 - better, 2 - average");
    line("//img_path: Absolute path");
    line("//rec_path: Absolute path");
    line("");
    line(std::string("demo=") + bool_text(s.demo));
    line("");
    line("ip=" + s.ip);
    line("port=" + number(s.port));
    line("login=" + s.login);
    line("password=" + s.password);
    line("root=" + s.cfg_root);
    line("sizeof_in=" + number(s.sizeof_in));
    line("sizeof_out=" + number(s.sizeof_out));
    line("");
    line("ipc_ip=" + s.ipc_ip);
    line("ipc_port=" + number(s.ipc_port));
    line("ipc_login=" + s.ipc_login);
    line("ipc_password=" + s.ipc_password);
    line("channel=" + number(s.channel));
    line("link_mode=" + number(s.link_mode));  // signed: sub stream + TCP is -2147483648
    line("");
    line(std::string("rec_active=") + bool_text(s.rec_active));
    line("rec_add_interval=" + general_text(s.rec_add_interval));
    line("rec_remove_interval=" + general_text(s.rec_remove_interval));
    line("img_size=" + number(s.img_size));
    line("img_quality=" + number(s.img_quality));
    line("img_path=" + s.cfg_img_path);
    line("rec_path=" + s.cfg_rec_path);
    line("");
    line("con_wait_time=" + number(s.con_wait_time));
    line("con_try_times=" + number(s.con_try_times));
    line("recon_interval=" + number(s.recon_interval));
    line("");
    line(std::string("full_screen_mode=") + bool_text(s.full_screen_mode));
    line("");
    line(std::string("daemon_mode=") + bool_text(s.daemon_mode));
    line(std::string("minimized=") + bool_text(s.minimized));
    line("");
    line(std::string("stay_on_top_mode=") + bool_text(s.stay_on_top_mode));
    line(std::string("compact_mode=") + bool_text(s.compact_mode));
    line(std::string("tray_mode=") + bool_text(s.tray_mode));
    line("alpha=" + number(s.alpha));
    line("");
    line("width=" + number(s.width));
    line("height=" + number(s.height));
    line("");
    line("frame_delay=" + number(s.frame_delay));
    line("main_interval=" + number(s.main_interval));
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
