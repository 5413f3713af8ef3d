// A scratch directory under /tmp made for one test and removed after it, with
// the file-list state reset around it. The test runs inside the directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "files/entries.h"

class Scratch : public ::testing::Test {
protected:
    std::filesystem::path root;
    std::filesystem::path home;

    void SetUp() override {
        reset();
        char pattern[] = "/tmp/kestro-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        home = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
    void TearDown() override {
        reset();
        std::filesystem::current_path(home);
        std::filesystem::remove_all(root);
    }
    static void reset() {
        queue_free_all(&files.upload_queue);
        queue_free_all(&files.request_queue);
        queue_free_all(&files.receive_names);
        dir_list_free_all(&files.upload_dirs);
        dir_list_free_all(&files.extra_dirs);
        files = files_state{};
        settings = settings_state{};
    }
    static void write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path().empty()
                                                ? "."
                                                : std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::vector<std::string> names(const file_queue& queue) {
        std::vector<std::string> out;
        for (const file_entry* e = queue.head; e != nullptr; e = e->next) out.push_back(e->name);
        return out;
    }
};
