// The file-list tests run inside a scratch directory, with all state reset around them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/lists.h"
#include "serial/process.h"
#include "support/scratch.h"
#include "support/state.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

class Scratch : public ::testing::Test {
   protected:
    scratch_dir dir;
    void SetUp() override {
        reset_up_to_files();
        ASSERT_FALSE(dir.root.empty());
        dir.enter();
    }
    void TearDown() override { reset_up_to_files(); }
    static void write(const fs::path& path, const std::string& text) { write_file(path, text); }
    static Strings names(const file_queue& queue) {
        Strings out;
        for (const file_entry* e = queue.head; e != nullptr; e = e->next) out.push_back(e->name);
        return out;
    }
};
