// Test support: a real temporary folder of its own for a test, removed with
// everything in it when the owner ends (kept when KESTREL_KEEP_TEST_DIRS is
// set, to look at after a failure). Header-only.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace kestrel_test {

class temp_folder_t {
public:
    // name: the start of the folder's name, which tells whose it is.
    explicit temp_folder_t(const std::string& name = "kestrel-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
        else
            ADD_FAILURE() << "no temporary folder " << pattern;
    }
    ~temp_folder_t()
    {
        std::error_code ignored;
        if (!path_.empty() && std::getenv("KESTREL_KEEP_TEST_DIRS") == nullptr)
            std::filesystem::remove_all(path_, ignored);
    }
    temp_folder_t(const temp_folder_t&) = delete;
    temp_folder_t& operator=(const temp_folder_t&) = delete;

    // The folder without a trailing separator; empty when it could not be made.
    const std::string& path() const { return path_; }
    // The folder with its trailing separator, for names appended directly.
    std::string prefix() const { return path_ + "/"; }
    // A path inside the folder.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace kestrel_test
