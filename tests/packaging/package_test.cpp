// The Debian package as built: what it holds and on what it depends, the
// unpacked program running one instance in a state folder of its own (the
// default page served, recordings in its folders, files 0600, nothing
// written beside the executable), and the unit file under systemd-analyze.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/kestrel_process.h"

using kestrel_test::kestrel_process_t;
namespace fs = std::filesystem;

namespace {

const std::string source_dir = KESTREL_SOURCE_DIR;

// A command's exit status and its stdout and stderr together.
int run(const std::string& command, std::string& output)
{
    return kestrel_test::run_command(command + " 2>&1", output);
}

std::string the_package()
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(KESTREL_PACKAGE_DIR, error))
        if (entry.path().extension() == ".deb")
            return entry.path().string();
    return std::string();
}

std::set<std::string> tree_of(const std::string& root)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        names.insert(entry.path().string());
    return names;
}

unsigned mode_of(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? (status.st_mode & 0777) : 0;
}

class package : public testing::Test {
public:
    static void SetUpTestSuite()
    {
        deb = the_package();
        folder = new kestrel_test::temp_folder_t("kestrel-package");
        root = folder->file("root");
        std::string output;
        unpacked = !deb.empty() && run("dpkg-deb -x '" + deb + "' '" + root + "'", output) == 0;
    }
    static void TearDownTestSuite()
    {
        delete folder;
        folder = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(unpacked) << "no package unpacked from " KESTREL_PACKAGE_DIR; }

    static kestrel_test::temp_folder_t* folder;  // for the whole suite
    static std::string deb, root;
    static bool unpacked;
};

kestrel_test::temp_folder_t* package::folder = nullptr;
std::string package::deb, package::root;
bool package::unpacked = false;

}  // namespace

TEST_F(package, holds_the_program_the_page_and_the_unit_and_depends_on_its_libraries)
{
    EXPECT_EQ(mode_of(root + "/usr/bin/kestrel"), 0755u);
    EXPECT_EQ(kestrel_test::read_file(root + "/usr/share/kestrel/www/index.htm"),
              kestrel_test::read_file(source_dir + "/www/index.htm"));
    EXPECT_EQ(kestrel_test::read_file(root + "/lib/systemd/system/kestrel@.service"),
              kestrel_test::read_file(source_dir + "/packaging/kestrel@.service"));
    EXPECT_TRUE(fs::exists(root + "/usr/share/doc/kestrel/copyright"));
    EXPECT_TRUE(fs::exists(root + "/usr/share/man/man1/kestrel.1.gz"));

    std::string depends;
    ASSERT_EQ(run("dpkg-deb -f '" + deb + "' Depends", depends), 0);
    for (const char* library : {"libqt6widgets6", "libavformat", "libfreeimage3", "libsystemd0", "libc6"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;

    // The description is text: continuation lines begin with one space and
    // hold no list separator.
    std::string description;
    ASSERT_EQ(run("dpkg-deb -f '" + deb + "' Description", description), 0);
    EXPECT_EQ(description.find(';'), std::string::npos) << description;
    EXPECT_NE(description.find("network camera viewer, recorder and web server\n kestrel shows"),
              std::string::npos) << description;
    EXPECT_NE(description.find("\n The systemd unit kestrel@ runs one camera per instance as an\n"), std::string::npos) << description;
}

TEST_F(package, unpacked_program_runs_an_instance_in_its_own_state_folder)
{
    const std::set<std::string> packaged = tree_of(root);
    const std::string state = folder->file("state");
    fs::create_directories(state);
    kestrel_process_t kestrel;
    kestrel.executable = root + "/usr/bin/kestrel";
    kestrel.log_file = state + "/kestrel.log";
    const uint16_t port = kestrel_test::free_loopback_port();
    {
        std::string text;
        for (const std::string line : {"daemon_mode=true", "ip=127.0.0.1", "login=user", "password=pw",
                                       "ipc_ip=test://320x240@10", "rec_active=true"})
            text += line + "\r\n";
        kestrel_test::write_file(state + "/kestrel.cfg", text + "port=" + std::to_string(port) + "\r\n");
    }
    ASSERT_TRUE(kestrel.start({}, {"--config", state + "/kestrel.cfg"}));
    ASSERT_TRUE(kestrel.wait_for_log("server activated"));

    // The instance's own copy of the default page.
    const int s = kestrel_test::connect_loopback(port);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(kestrel_test::send_all(s, "GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwdw==\r\n\r\n"));
    const std::string page = kestrel_test::read_file(source_dir + "/www/index.htm");
    const std::string answer = kestrel_test::receive(s, 5000);
    ::close(s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), page);

    ASSERT_TRUE(kestrel.wait_for_log(" rec started"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few key-frame intervals
    ASSERT_EQ(kestrel.stop(), 0);

    std::vector<fs::path> recordings;
    for (const auto& entry : fs::directory_iterator(state + "/root/rec"))
        recordings.push_back(entry.path());
    ASSERT_EQ(recordings.size(), 1u);
    EXPECT_EQ(recordings[0].extension(), ".mp4");
    EXPECT_GT(fs::file_size(recordings[0]), 0u);
    EXPECT_TRUE(fs::is_directory(state + "/root/img"));
    EXPECT_EQ(mode_of(state + "/kestrel.cfg"), 0600u);
    EXPECT_EQ(mode_of(state + "/kestrel.log"), 0600u);
    EXPECT_EQ(tree_of(root), packaged);  // nothing written beside the executable or the page
}

TEST_F(package, unit_file_passes_systemd_analyze_verify)
{
    std::string found;
    if (run("command -v systemd-analyze", found) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // The unit as installed, but starting the unpacked program: verify
    // checks that the command exists.
    std::string unit = kestrel_test::read_file(root + "/lib/systemd/system/kestrel@.service");
    const std::string exec_start = "ExecStart=/usr/bin/kestrel --config /var/lib/kestrel/%i/kestrel.cfg\n";
    const size_t at = unit.find(exec_start);
    ASSERT_NE(at, std::string::npos);
    // The configuration file lies in the folder the unit gives the instance.
    EXPECT_NE(unit.find("\nStateDirectory=kestrel/%i\n"), std::string::npos);
    unit.replace(at, exec_start.size(),
                 "ExecStart=" + root + "/usr/bin/kestrel --config /var/lib/kestrel/%i/kestrel.cfg\n");
    fs::create_directories(folder->file("units"));
    const std::string copy = folder->file("units/kestrel@.service");
    kestrel_test::write_file(copy, unit);

    std::string output;
    // The manual page it names comes with the package, not with this machine.
    EXPECT_EQ(run("systemd-analyze verify --man=no '" + copy + "'", output), 0) << output;
    // Unknown or malformed settings are only warned about: none may be.
    EXPECT_EQ(output, "");
}
