// A scratch directory under /tmp for one test, removed after it; the test runs
// inside it, with the file-list state reset around it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "files/entries.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class Scratch : public ::testing::Test {
protected:
    fs::path root, home = fs::current_path();
    void SetUp() override {
        reset();
        char pattern[] = "/tmp/kestro-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fs::current_path(root = pattern);
    }
    void TearDown() override {
        reset();
        fs::current_path(home);
        fs::remove_all(root);
    }
    static void reset() {
        for (file_queue* q : {&files.upload_queue, &files.request_queue, &files.receive_names})
            queue_free_all(q);
        dir_list_free_all(&files.upload_dirs);
        dir_list_free_all(&files.extra_dirs);
        files = files_state{};
        settings = settings_state{};
    }
    static void write(const fs::path& path, const std::string& text) {
        if (path.has_parent_path()) fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static Strings names(const file_queue& queue) {
        Strings out;
        for (const file_entry* e = queue.head; e != nullptr; e = e->next) out.push_back(e->name);
        return out;
    }
};
