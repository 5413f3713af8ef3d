// A scratch directory under /tmp for one test, removed with everything in it at the end.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

inline std::filesystem::path make_scratch_dir() {
    char pattern[] = "/tmp/kestro-test-XXXXXX";
    return mkdtemp(pattern) != nullptr ? std::filesystem::path(pattern) : std::filesystem::path();
}

struct scratch_dir {
    std::filesystem::path root = make_scratch_dir();
    std::filesystem::path home;  // the working directory before enter()

    scratch_dir() = default;
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir() {
        if (!home.empty()) std::filesystem::current_path(home);
        std::error_code ignored;
        if (!root.empty()) std::filesystem::remove_all(root, ignored);
    }
    // The test runs inside the directory until the helper goes.
    void enter() {
        home = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
    std::string path(const std::string& name) const { return (root / name).string(); }
};

inline void write_file(const std::filesystem::path& path, const std::string& text) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
