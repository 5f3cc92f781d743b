// The settings defaults, the two path helpers and the file places.
#include "settings/settings.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "settings/file_places.h"
#include "tests/support/temp_folder.h"

using kestrel_test::temp_folder_t;

TEST(replace_extension, table)
{
    struct {
        const char* path;
        const char* extension;
        const char* expected;
    } cases[] = {
        {"prog.exe", ".cfg", "prog.cfg"},
        {"C:\\a.b\\prog", ".cfg", "C:\\a.b\\prog.cfg"},  // "." in a folder name
        {"/opt/a.b/kestrel", ".log", "/opt/a.b/kestrel.log"},
        {"/opt/kestrel/kestrel", ".cfg", "/opt/kestrel/kestrel.cfg"},
        {"/opt/kestrel/kestrel.bin", ".cfg", "/opt/kestrel/kestrel.cfg"},
        {"/opt/x.y/prog.tar.gz", ".cfg", "/opt/x.y/prog.tar.cfg"},  // last "." only
        {"prog", ".log", "prog.log"},
        {"prog.", ".log", "prog.log"},
        {".hidden", ".cfg", ".cfg"},  // the last "." starts the extension
        {"", ".cfg", ".cfg"},
        {"dir/", ".cfg", "dir/.cfg"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replace_extension(c.path, c.extension), c.expected) << c.path;
}

TEST(directory_of, table)
{
    struct {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/opt/kestrel/kestrel", "/opt/kestrel/"},
        {"C:\\cam\\prog.exe", "C:\\cam\\"},
        {"C:\\cam/sub\\prog.exe", "C:\\cam/sub\\"},
        {"C:/cam\\sub/prog.exe", "C:/cam\\sub/"},
        {"prog", ""},  // the default web root is then the relative "root/"
        {"", ""},
        {"/", "/"},
        {"dir/", "dir/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(directory_of(c.path), c.expected) << c.path;
}

TEST(settings, defaults)
{
    const settings_t s;
    EXPECT_FALSE(s.demo);
    EXPECT_EQ(s.ip, "0.0.0.0");
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(s.password.size(), 4u);
    EXPECT_EQ(s.sizeof_in, 10240);
    EXPECT_EQ(s.sizeof_out, 1048576);
    EXPECT_EQ(s.ipc_port, 8000);
    EXPECT_EQ(s.ipc_login, "admin");
    EXPECT_EQ(s.ipc_password, "28982");
    EXPECT_EQ(s.channel, 1);
    EXPECT_EQ(s.link_mode, 0);
    EXPECT_EQ(s.rec_add_interval, 1.0);
    EXPECT_EQ(s.rec_remove_interval, 168.5);
    EXPECT_EQ(s.img_size, 5);
    EXPECT_EQ(s.img_quality, 0);
    EXPECT_EQ(s.con_wait_time, 2000);
    EXPECT_EQ(s.con_try_times, 1);
    EXPECT_EQ(s.recon_interval, 10000);
    EXPECT_EQ(s.alpha, 0);
    EXPECT_EQ(s.frame_delay, 500);
    EXPECT_EQ(s.main_interval, 100);
    EXPECT_TRUE(s.cfg_root.empty() && s.cfg_img_path.empty() && s.cfg_rec_path.empty());
    // The global record starts with the same defaults.
    EXPECT_EQ(settings, s);
}

TEST(file_places, beside_the_executable_or_beside_the_config_option)
{
    const std::string exe = "/opt/kestrel/kestrel";
    config_file_option.clear();
    EXPECT_EQ(cfg_file_path(exe), "/opt/kestrel/kestrel.cfg");
    EXPECT_EQ(log_file_path(exe), "/opt/kestrel/kestrel.log");
    EXPECT_EQ(default_folder(exe), "/opt/kestrel/");

    config_file_option = "/var/lib/kestrel/front.door/camera";  // no extension
    EXPECT_EQ(cfg_file_path(exe), "/var/lib/kestrel/front.door/camera");
    EXPECT_EQ(log_file_path(exe), "/var/lib/kestrel/front.door/camera.log");
    EXPECT_EQ(default_folder(exe), "/var/lib/kestrel/front.door/");
    config_file_option.clear();

}

TEST(file_places, default_web_page_is_the_packaged_one_or_the_root_beside_the_executable)
{
    temp_folder_t dir;
    std::filesystem::create_directories(dir.file("usr/bin"));
    EXPECT_EQ(default_web_page(dir.file("usr/bin/kestrel")), dir.file("usr/bin/root/"));
    std::filesystem::create_directories(dir.file("usr/share/kestrel/www"));
    EXPECT_EQ(default_web_page(dir.file("usr/bin/kestrel")), dir.file("usr/share/kestrel/www/"));
    EXPECT_EQ(default_web_page("kestrel"), "root/");
}
