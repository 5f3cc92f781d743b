// The table of settings and the two conversions between a file value and a
// member of settings_t. Numbers are converted without regard to the process
// locale (a Qt program may set one): floats through the "C" locale, integers
// by hand.
#include "settings/settings_table.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <locale.h>

namespace {

using s = settings_t;

// The file's header: what the less obvious keys mean.
const char header_comments[] =
    "//root: Absolute path\n"
    "//channel: Preview channel NO\n"
    "//link_mode: The high bit (31) 0 means the main stream, while 1 means the sub stream. "
    "Bit 0~bit 30 are used for link mode: 0: TCP mode, 1: UDP mode, 2: Multi-play mode, "
    "3: RTP mode\n"
    "//img_size: 0 - CIF, 1 - QCIF, 2 - D1, 3 - UXGA(1600x1200), 4 - SVGA(800x600), "
    "5 - HD720p(1280x720), 6 - VGA, 7 - XVGA, 8 - HD900p, 9 - HD1080, 10 - 2560x1920, "
    "11 - 1600x304, 12 - 2048x1536, 13 - 2448x2048, 14 - 2448x1200, 15 - 2448x800, "
    "16 - XGA(1024x768), 17 - SXGA(1280x1024), 18 - WD1(960x576/960x480), 19 - 1080i\n"
    "//img_quality: 0 - best, 1 - better, 2 - average\n"
    "//img_path: Absolute path\n"
    "//rec_path: Absolute path\n"
    "\n";

const char blank[] = "\n";  // an empty line between groups of keys

// The folders' defaults are empty here: the window derives them from the
// executable's path at start-up. The password is the factory one; an
// installed instance gets a random one (settings/instance_setup).
constexpr setting_t table[] = {
    {"demo", &s::demo, nullptr, "false", header_comments},
    {"ip", &s::ip, nullptr, "0.0.0.0", blank},
    {"port", &s::port, nullptr, "80", ""},
    {"login", &s::login, nullptr, "user", ""},
    {"password", &s::password, nullptr, "4137", ""},
    {"root", &s::root, &s::cfg_root, "", ""},
    {"sizeof_in", &s::sizeof_in, nullptr, "10240", ""},
    {"sizeof_out", &s::sizeof_out, nullptr, "1048576", ""},
    {"ipc_ip", &s::ipc_ip, nullptr, "127.0.0.1", blank},
    {"ipc_port", &s::ipc_port, nullptr, "8000", ""},
    {"ipc_login", &s::ipc_login, nullptr, "admin", ""},
    {"ipc_password", &s::ipc_password, nullptr, "28982", ""},
    {"channel", &s::channel, nullptr, "1", ""},
    {"link_mode", &s::link_mode, nullptr, "0", ""},  // signed: sub stream + TCP is -2147483648
    {"rec_active", &s::rec_active, nullptr, "false", blank},
    {"rec_add_interval", &s::rec_add_interval, nullptr, "1", ""},
    {"rec_remove_interval", &s::rec_remove_interval, nullptr, "168.5", ""},
    {"img_size", &s::img_size, nullptr, "5", ""},
    {"img_quality", &s::img_quality, nullptr, "0", ""},
    {"img_path", &s::img_path, &s::cfg_img_path, "", ""},
    {"rec_path", &s::rec_path, &s::cfg_rec_path, "", ""},
    {"con_wait_time", &s::con_wait_time, nullptr, "2000", blank},
    {"con_try_times", &s::con_try_times, nullptr, "1", ""},
    {"recon_interval", &s::recon_interval, nullptr, "10000", ""},
    {"full_screen_mode", &s::full_screen_mode, nullptr, "false", blank},
    {"daemon_mode", &s::daemon_mode, nullptr, "false", blank},
    {"minimized", &s::minimized, nullptr, "false", ""},
    {"stay_on_top_mode", &s::stay_on_top_mode, nullptr, "false", blank},
    {"compact_mode", &s::compact_mode, nullptr, "false", ""},
    {"tray_mode", &s::tray_mode, nullptr, "false", ""},
    {"alpha", &s::alpha, nullptr, "0", ""},
    {"width", &s::width, nullptr, "800", blank},
    {"height", &s::height, nullptr, "600", ""},
    {"frame_delay", &s::frame_delay, nullptr, "500", blank},
    {"main_interval", &s::main_interval, nullptr, "100", ""},
};

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

// One overload per member type: file value -> member.
void convert(const std::string& value, bool& field) { field = value == "true"; }
void convert(const std::string& value, std::string& field) { field = value; }
void convert(const std::string& value, int32_t& field) { field = leading_int(value); }
void convert(const std::string& value, uint16_t& field)
{
    field = static_cast<uint16_t>(static_cast<uint32_t>(leading_int(value)) & 0xFFFFu);
}
void convert(const std::string& value, double& field) { field = leading_double(value); }

// Member -> file value.
std::string text_of(bool field) { return field ? "true" : "false"; }
std::string text_of(const std::string& field) { return field; }
std::string text_of(int32_t field) { return std::to_string(field); }
std::string text_of(uint16_t field) { return std::to_string(field); }
std::string text_of(double field) { return general_text(field); }

}  // namespace

std::span<const setting_t> setting_table() { return table; }

void apply_setting(const setting_t& setting, const std::string& value, settings_t& record)
{
    if (setting.file_twin != nullptr) {
        // A folder: only a non-empty value counts, kept in both members.
        if (!value.empty()) {
            record.*std::get<std::string settings_t::*>(setting.member) = value;
            record.*setting.file_twin = value;
        }
        return;
    }
    std::visit([&](auto member) { convert(value, record.*member); }, setting.member);
}

std::string setting_text(const setting_t& setting, const settings_t& record)
{
    if (setting.file_twin != nullptr)
        return record.*setting.file_twin;
    return std::visit([&](auto member) { return text_of(record.*member); }, setting.member);
}
