// The configuration file. Golden files written by hand from the documented
// list of 52 lines; the reader's edge cases on real files; the
// parameter dump; locale independence of the floating values.
#include "settings/config_file.h"

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/file_places.h"
#include "settings/instance_setup.h"
#include "settings/log.h"
#include "settings/settings_table.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_folder.h"

using kestrel_test::read_file;
using kestrel_test::temp_folder_t;
using kestrel_test::write_file;

namespace {

const std::string data_dir = KESTREL_SETTINGS_DATA;

// The defaults as the main window holds them after start-up step 7: effective
// folders derived from the executable's path, cfg_ twins empty.
settings_t window_defaults()
{
    settings_t s;
    s.exe_path = "/opt/kestrel/kestrel";
    s.root = "/opt/kestrel/root/";
    s.img_path = "/opt/kestrel/root/img/";
    s.rec_path = "/opt/kestrel/root/rec/";
    return s;
}

// The record that tests/settings/data/changed.cfg holds.
settings_t changed_settings()
{
    settings_t s = window_defaults();
    s.demo = true;
    s.ip = "127.0.0.2";
    s.port = 65535;
    s.login = "operator";
    s.password = "p=ss word ";  // "=" and blanks are part of a text value
    s.root = s.cfg_root = "/srv/kestrel/www/";
    s.sizeof_in = -1;
    s.sizeof_out = 2097152;
    s.ipc_ip = "rtsp://127.0.0.1:8554/stream";
    s.ipc_port = 554;
    s.ipc_login = "";
    s.ipc_password = " x=y";
    s.channel = 33;
    s.link_mode = INT32_MIN;  // sub stream, TCP
    s.rec_active = true;
    s.rec_add_interval = 0.25;
    s.rec_remove_interval = 1e6;
    s.img_size = 19;
    s.img_quality = 2;
    s.img_path = s.cfg_img_path = "/data/kestrel/img/";
    s.rec_path = s.cfg_rec_path = "C:\\kestrel\\rec\\";
    s.con_wait_time = 5000;
    s.con_try_times = 3;
    s.recon_interval = -1;
    s.full_screen_mode = true;
    s.daemon_mode = true;
    s.minimized = true;
    s.stay_on_top_mode = true;
    s.compact_mode = true;
    s.tray_mode = true;
    s.alpha = 95;
    s.width = 1920;
    s.height = 1080;
    s.frame_delay = 40;
    s.main_interval = 0;
    return s;
}

// A temporary folder with the log open in it; logged() closes the log and
// returns what was written.
class cfg_test : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(log_open(true, false, log_path().c_str(), "w")); }
    void TearDown() override { log_close(); }

    std::string log_path() const { return dir.file("kestrel.log"); }
    std::string cfg_path() const { return dir.file("kestrel.cfg"); }
    std::string logged()
    {
        log_close();
        return read_file(log_path());
    }
    // Writes the bytes as the configuration file and reads it into a record
    // that starts from the window's defaults.
    settings_t read_from(const std::string& bytes)
    {
        write_file(cfg_path(), bytes);
        settings_t s = window_defaults();
        read_cfg(cfg_path(), s);
        return s;
    }

    temp_folder_t dir;
};

}  // namespace

// ---------------------------------------------------------------- writing

TEST_F(cfg_test, defaults_match_golden_file_byte_for_byte)
{
    const std::string golden = read_file(data_dir + "/defaults.cfg");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(cfg_text(window_defaults()), golden);
    write_cfg(cfg_path(), window_defaults());
    EXPECT_EQ(read_file(cfg_path()), golden);
    EXPECT_EQ(logged(), "");  // writing logs nothing
}

TEST_F(cfg_test, changed_set_matches_golden_file_byte_for_byte)
{
    const std::string golden = read_file(data_dir + "/changed.cfg");
    ASSERT_FALSE(golden.empty());
    write_cfg(cfg_path(), changed_settings());
    EXPECT_EQ(read_file(cfg_path()), golden);
}

TEST_F(cfg_test, golden_files_have_52_crlf_lines)
{
    for (const char* name : {"defaults.cfg", "changed.cfg"}) {
        const std::string text = read_file(data_dir + "/" + name);
        size_t lines = 0;
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') {
                ++lines;
                EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << name << " byte " << i;
            }
        EXPECT_EQ(lines, 52u) << name;
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << name;
    }
}

TEST_F(cfg_test, table_keys_are_unique_and_defaults_are_written_as_the_table_gives_them)
{
    const settings_t defaults;
    std::set<std::string> keys;
    for (const setting_t& setting : setting_table()) {
        EXPECT_TRUE(keys.insert(setting.key).second) << setting.key;
        EXPECT_EQ(setting_text(setting, defaults), setting.default_text) << setting.key;
    }
    EXPECT_EQ(keys.size(), 35u);
}

TEST_F(cfg_test, writer_uses_cfg_twins_not_effective_folders)
{
    settings_t s = window_defaults();
    s.root = "/chosen/in/dialog/";  // effective folders changed in the dialog
    s.img_path = "/chosen/img/";
    s.cfg_rec_path = "rec-from-file/";
    const std::string text = cfg_text(s);
    EXPECT_NE(text.find("\r\nroot=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nimg_path=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nrec_path=rec-from-file/\r\n"), std::string::npos);
    EXPECT_EQ(text.find("/chosen/"), std::string::npos);
}

TEST_F(cfg_test, floats_written_as_printf_g)
{
    struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1"},         {168.5, "168.5"},        {0.25, "0.25"},   {1e6, "1e+06"},
        {100000.0, "100000"}, {123456789.0, "1.23457e+08"}, {1e-5, "1e-05"}, {0.0001, "0.0001"},
        {0.1 + 0.2, "0.3"}, {-2.5, "-2.5"},          {0.0, "0"},       {1.0 / 3.0, "0.333333"},
    };
    for (const auto& c : cases) {
        settings_t s;
        s.rec_add_interval = c.value;
        const std::string text = cfg_text(s);
        EXPECT_NE(text.find(std::string("\r\nrec_add_interval=") + c.text + "\r\n"), std::string::npos)
            << c.text;
        char printed[64];
        std::snprintf(printed, sizeof printed, "%g", c.value);  // the C locale here
        EXPECT_STREQ(printed, c.text);
    }
}

TEST_F(cfg_test, unwritable_file_is_silent)
{
    const std::string path = dir.file("no/such/folder/kestrel.cfg");
    write_cfg(path, window_defaults());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(logged(), "");
}

// ---------------------------------------------------------------- round trip

TEST_F(cfg_test, write_then_read_gives_the_same_settings)
{
    for (const settings_t& original : {window_defaults(), changed_settings()}) {
        write_cfg(cfg_path(), original);
        settings_t back = window_defaults();
        read_cfg(cfg_path(), back);
        EXPECT_EQ(back, original);
    }
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, link_mode_sub_stream_keeps_its_bit_pattern)
{
    for (int32_t mode : {INT32_MIN, INT32_MIN | 1, INT32_MIN | 3, 0, 1, 2, 3, INT32_MAX}) {
        settings_t s = window_defaults();
        s.link_mode = mode;
        write_cfg(cfg_path(), s);
        settings_t back = window_defaults();
        read_cfg(cfg_path(), back);
        EXPECT_EQ(back.link_mode, mode);
    }
    settings_t s;
    s.link_mode = INT32_MIN;
    EXPECT_NE(cfg_text(s).find("\r\nlink_mode=-2147483648\r\n"), std::string::npos);
}

TEST_F(cfg_test, golden_changed_file_reads_back)
{
    settings_t s = window_defaults();
    read_cfg(data_dir + "/changed.cfg", s);
    EXPECT_EQ(s, changed_settings());
}

// ---------------------------------------------------------------- reading

TEST_F(cfg_test, comment_only_file_parses_with_no_keys_and_no_message)
{
    settings_t preset = window_defaults();
    preset.width = 1234;  // absent keys keep what the record held
    write_file(cfg_path(), "//root: Absolute path\r\n\r\n//port=81\r\n\r\n\r\n//\r\n");
    settings_t s = preset;
    read_cfg(cfg_path(), s);
    EXPECT_EQ(s, preset);
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, empty_file_parses_with_no_keys_and_no_message)
{
    EXPECT_EQ(read_from(""), window_defaults());
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, missing_file_logs_both_messages_and_keeps_defaults)
{
    settings_t s = window_defaults();
    read_cfg(dir.file("absent.cfg"), s);
    EXPECT_EQ(s, window_defaults());
    EXPECT_EQ(logged(), "////can not read cfg-file\r\n////can not parse params\r\n");
}

TEST_F(cfg_test, data_line_without_equals_at_the_end_keeps_all_defaults)
{
    const settings_t s = read_from("port=81\r\nlogin=x\r\nbogus line\r\n");
    EXPECT_EQ(s, window_defaults());  // also the keys before the bad line
    EXPECT_EQ(logged(), "////can not parse params\r\n");
}

TEST_F(cfg_test, line_without_equals_swallows_the_next_key)
{
    const settings_t s = read_from("bogus\r\nport=81\r\nlogin=x\r\n");
    EXPECT_EQ(s.port, 80);  // the key was "bogus\r\nport"
    EXPECT_EQ(s.login, "x");
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, first_occurrence_of_a_key_wins)
{
    const settings_t s = read_from("port=81\r\nlogin=first\r\nport=82\r\nlogin=second\r\n");
    EXPECT_EQ(s.port, 81);
    EXPECT_EQ(s.login, "first");
}

TEST_F(cfg_test, blank_before_equals_is_part_of_the_key)
{
    const settings_t s = read_from("port =81\r\nlogin =x\r\nip= 127.0.0.1\r\nsizeof_in= 77\r\n");
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(s.login, window_defaults().login);
    EXPECT_EQ(s.ip, " 127.0.0.1");  // a blank after "=" stays in a text value
    EXPECT_EQ(s.sizeof_in, 77);   // and is skipped by number conversion
}

TEST_F(cfg_test, booleans_are_true_only_for_exactly_true)
{
    const settings_t s = read_from(
        "demo=1\r\nrec_active=True\r\nfull_screen_mode=true \r\ndaemon_mode=TRUE\r\n"
        "stay_on_top_mode=yes\r\ncompact_mode=true\r\ntray_mode=\r\nminimized=true\r\n");
    EXPECT_FALSE(s.demo);
    EXPECT_FALSE(s.rec_active);
    EXPECT_FALSE(s.full_screen_mode);
    EXPECT_FALSE(s.daemon_mode);
    EXPECT_FALSE(s.stay_on_top_mode);
    EXPECT_TRUE(s.compact_mode);
    EXPECT_FALSE(s.tray_mode);
    EXPECT_TRUE(s.minimized);

    settings_t on = window_defaults();
    on.demo = on.rec_active = on.tray_mode = true;
    write_file(cfg_path(), "demo=false\r\nrec_active=0\r\ntray_mode=\r\n");
    read_cfg(cfg_path(), on);
    EXPECT_FALSE(on.demo);
    EXPECT_FALSE(on.rec_active);
    EXPECT_FALSE(on.tray_mode);
}

TEST_F(cfg_test, empty_folder_key_keeps_default_and_is_written_back_empty)
{
    const settings_t s = read_from("root=\r\nimg_path=\r\nrec_path=/r/\r\n");
    EXPECT_EQ(s.root, "/opt/kestrel/root/");
    EXPECT_EQ(s.cfg_root, "");
    EXPECT_EQ(s.img_path, "/opt/kestrel/root/img/");
    EXPECT_EQ(s.cfg_img_path, "");
    EXPECT_EQ(s.rec_path, "/r/");
    EXPECT_EQ(s.cfg_rec_path, "/r/");
    const std::string text = cfg_text(s);
    EXPECT_NE(text.find("\r\nroot=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nimg_path=\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nrec_path=/r/\r\n"), std::string::npos);
}

TEST_F(cfg_test, text_keys_take_empty_values)
{
    const settings_t s = read_from("login=\r\npassword=\r\nipc_password=\r\nip=\r\n");
    EXPECT_EQ(s.login, "");
    EXPECT_EQ(s.password, "");
    EXPECT_EQ(s.ipc_password, "");
    EXPECT_EQ(s.ip, "");
}

TEST_F(cfg_test, ports_keep_the_low_16_bits)
{
    settings_t s = read_from("port=70000\r\nipc_port=-1\r\n");
    EXPECT_EQ(s.port, 4464);
    EXPECT_EQ(s.ipc_port, 65535);
    s = read_from("port=65536\r\nipc_port=99999999999999999999\r\n");
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.ipc_port, 65535);  // saturated to INT32_MAX, then low 16 bits
}

TEST_F(cfg_test, integers_are_the_leading_decimal_number)
{
    struct {
        const char* value;
        int32_t expected;
    } cases[] = {
        {"42", 42},
        {" \t42abc", 42},
        {"+7", 7},
        {"-15", -15},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"12.9", 12},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        // Out of range: saturates (as a 32-bit strtol), never undefined.
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999999999999", INT32_MAX},
        {"-99999999999999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        const settings_t s = read_from(std::string("channel=") + c.value + "\r\nalpha=" + c.value + "\r\n");
        EXPECT_EQ(s.channel, c.expected) << '"' << c.value << '"';
        EXPECT_EQ(s.alpha, c.expected) << '"' << c.value << '"';
    }
}

TEST_F(cfg_test, floats_are_the_leading_c_locale_number)
{
    struct {
        const char* value;
        double expected;
    } cases[] = {
        {"2.5", 2.5},  {" 2.5e1xyz", 25.0}, {"1e+06", 1e6}, {"-0.25", -0.25},
        {"abc", 0.0},  {"", 0.0},           {"0,5", 0.0},   {"168.5", 168.5},
    };
    for (const auto& c : cases) {
        const settings_t s = read_from(std::string("rec_add_interval=") + c.value + "\r\n");
        EXPECT_EQ(s.rec_add_interval, c.expected) << '"' << c.value << '"';
    }
}

TEST_F(cfg_test, lf_only_lines_are_accepted)
{
    const settings_t s = read_from("//comment\n\nport=81\nlogin=lf\nrec_add_interval=2\n");
    EXPECT_EQ(s.port, 81);
    EXPECT_EQ(s.login, "lf");  // no CR left in the value
    EXPECT_EQ(s.rec_add_interval, 2.0);
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, one_trailing_cr_removed_per_line)
{
    const settings_t s = read_from("login=a\r\r\npassword=b\r\n");
    EXPECT_EQ(s.login, "a\r");
    EXPECT_EQ(s.password, "b");
}

TEST_F(cfg_test, last_line_without_line_end_counts)
{
    EXPECT_EQ(read_from("login=x\r\nport=81").port, 81);
}

TEST_F(cfg_test, byte_1a_ends_the_readable_text)
{
    settings_t s = read_from(std::string("port=81\r\n\x1A" "login=after\r\n"));
    EXPECT_EQ(s.port, 81);
    EXPECT_EQ(s.login, window_defaults().login);
    s = read_from(std::string("login=ab\x1A" "cd\r\nport=81\r\n"));
    EXPECT_EQ(s.login, "ab");
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(logged(), "");
}

TEST_F(cfg_test, unknown_keys_are_ignored_and_keys_are_case_sensitive)
{
    const settings_t s = read_from("Port=81\r\nfoo=bar\r\nPORT=82\r\n");
    EXPECT_EQ(s, window_defaults());
}

// ---------------------------------------------------------------- parse_params

TEST(parse_params, table)
{
    struct {
        const char* text;
        bool ok;
        text_map expected;
    } cases[] = {
        {"", false, {}},
        {"\r\n", true, {}},
        {"a=b\r\n\r\n", true, {{"a", "b"}}},
        {"a=b=c\r\n\r\n", true, {{"a", "b=c"}}},
        {"a=\r\n=v\r\n\r\n", true, {{"a", ""}, {"", "v"}}},
        {"a=1\r\na=2\r\n\r\n", true, {{"a", "1"}}},
        {"x\r\na=b\r\n\r\n", true, {{"x\r\na", "b"}}},
        {"a=b\nc=d\r\n\r\n", true, {{"a", "b\nc=d"}}},
        {"a=b", false, {}},
        {"a=b\r\n", false, {}},  // the rest "" is not CR LF: no "=" follows
        {"a=b\r\nc\r\n", false, {}},
        {"\r\n\r\n", false, {}},
    };
    for (const auto& c : cases) {
        text_map params{{"stale", "value"}};
        EXPECT_EQ(parse_params(c.text, params), c.ok) << testing::PrintToString(std::string(c.text));
        if (c.ok) {
            EXPECT_EQ(params, c.expected) << testing::PrintToString(std::string(c.text));
        }
        EXPECT_EQ(params.count("stale"), 0u);  // cleared first
    }
}

// ---------------------------------------------------------------- dump

TEST_F(cfg_test, parameter_dump)
{
    settings_t s = window_defaults();
    s.port = 65535;
    log_params(s);
    EXPECT_EQ(logged(),
              "////params:\r\n"
              "////ip=0.0.0.0\r\n"
              "////port=65535\r\n"
              "////login=user\r\n"
              "////password=4137\r\n"
              "////root=/opt/kestrel/root/\r\n"
              "////sizeof_in=10240\r\n"
              "////sizeof_out=1048576\r\n");
}

// ---------------------------------------------------------------- locale

// A Qt program may set a locale whose decimal separator is ",": the file must
// still say "168.5" and read "0.25" as a quarter. The German locale is built
// into the temporary folder with localedef when the system has none.
TEST_F(cfg_test, floats_ignore_the_process_locale)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* old_locpath = std::getenv("LOCPATH");
    const std::string saved_locpath = old_locpath ? old_locpath : "";
    bool have = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    if (!have) {
        const std::string command = "localedef -i de_DE -f UTF-8 '" + dir.file("de_DE.UTF-8") +
                                    "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            setenv("LOCPATH", dir.path().c_str(), 1);
            have = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        }
    }
    if (!have)
        GTEST_SKIP() << "no locale with a decimal comma available";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%g", 168.5);
    EXPECT_STREQ(probe, "168,5");  // the locale is really in effect

    write_cfg(cfg_path(), changed_settings());
    const std::string written = read_file(cfg_path());
    settings_t back = window_defaults();
    read_cfg(cfg_path(), back);
    EXPECT_EQ(cfg_text(window_defaults()), read_file(data_dir + "/defaults.cfg"));

    std::setlocale(LC_ALL, saved.c_str());
    if (old_locpath)
        setenv("LOCPATH", saved_locpath.c_str(), 1);
    else
        unsetenv("LOCPATH");
    EXPECT_EQ(written, read_file(data_dir + "/changed.cfg"));
    EXPECT_EQ(back, changed_settings());
}

// ---------------------------------------------------------------- instances

namespace {
unsigned mode_of(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}
}  // namespace

TEST_F(cfg_test, the_file_and_the_log_are_created_for_their_owner_only)
{
    const mode_t old_mask = umask(0);  // even a permissive umask gives 0600
    write_cfg(cfg_path(), window_defaults());
    umask(old_mask);
    EXPECT_EQ(mode_of(cfg_path()), 0600u);
    EXPECT_EQ(mode_of(log_path()), 0600u);  // opened by the fixture
    std::FILE* appended = open_private_file(dir.file("a.log"), "ab");
    ASSERT_NE(appended, nullptr);
    std::fclose(appended);
    EXPECT_EQ(mode_of(dir.file("a.log")), 0600u);
    // A file others could read is narrowed when written again.
    chmod(cfg_path().c_str(), 0644);
    write_cfg(cfg_path(), window_defaults());
    EXPECT_EQ(mode_of(cfg_path()), 0600u);
    EXPECT_EQ(open_private_file(dir.file("absent"), "r"), nullptr);
    EXPECT_EQ(open_private_file(dir.file("x"), "q"), nullptr);
}

TEST_F(cfg_test, first_start_of_an_instance_writes_a_random_password_once)
{
    settings_t first = window_defaults();
    ASSERT_TRUE(create_instance_cfg(cfg_path(), first));
    EXPECT_EQ(first.password.size(), 16u);
    EXPECT_NE(first.password, settings_t().password);
    EXPECT_EQ(mode_of(cfg_path()), 0600u);
    settings_t read = window_defaults();
    read_cfg(cfg_path(), read);
    EXPECT_EQ(read, first);

    // An existing file is never replaced; another instance gets another password.
    settings_t again = window_defaults();
    EXPECT_FALSE(create_instance_cfg(cfg_path(), again));
    EXPECT_EQ(again.password, settings_t().password);
    settings_t other = window_defaults();
    ASSERT_TRUE(create_instance_cfg(dir.file("other.cfg"), other));
    EXPECT_NE(other.password, first.password);
}

TEST_F(cfg_test, the_default_web_root_gets_its_own_copy_of_the_page)
{
    const std::string page = dir.file("share/www/");
    std::filesystem::create_directories(page + "sub");
    write_file(page + "index.htm", "page");
    write_file(page + "sub/a.js", "js");
    settings_t s = window_defaults();
    s.root = dir.file("state/root/");
    ASSERT_TRUE(provide_web_root(s, page));
    EXPECT_EQ(read_file(s.root + "index.htm"), "page");
    EXPECT_EQ(read_file(s.root + "sub/a.js"), "js");

    // An existing root is the instance's own: never overwritten.
    write_file(s.root + "index.htm", "edited");
    EXPECT_FALSE(provide_web_root(s, page));
    EXPECT_EQ(read_file(s.root + "index.htm"), "edited");
    // A root the file names is left alone, as is a missing page.
    s.root = s.cfg_root = dir.file("named/");
    EXPECT_FALSE(provide_web_root(s, page));
    s.root = dir.file("other/");
    s.cfg_root.clear();
    EXPECT_FALSE(provide_web_root(s, dir.file("no-page/")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("named/")));
}
