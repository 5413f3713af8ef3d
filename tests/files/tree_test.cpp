// Trees: what --recursive lists, and the receiver's directories against hostile paths.
#include "files/tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files_fixture.h"

using Tree = Scratch;

namespace {

Strings aliases(const file_queue& queue) {
    Strings out;
    for (const file_entry* e = queue.head; e != nullptr; e = e->next) out.push_back(entry_alias(e));
    return out;
}

std::string levels(int n) {
    std::string path = "d";
    for (int i = 1; i < n; ++i) path += "/d";
    return path;
}

// Opens base/dirs as the receiver would; the reason when refused, "" when made.
std::string make_dirs(const char* base, const char* dirs) {
    const char* reason = nullptr;
    int fd = open_tree_directory(base, dirs, 0777, &reason);
    if (fd >= 0) close(fd);
    return fd >= 0 ? "" : reason != nullptr ? reason : "?";
}

}  // namespace

TEST_F(Tree, HostileRelativePathsAreRefused) {
    for (const std::string& bad :
         {std::string(""), std::string("/etc/passwd"), std::string("../x"),
          std::string("a/../../x"), std::string(".."), std::string("a/./b"), std::string("."),
          std::string("a//b"), std::string("a/"), std::string("/"), std::string("a/\x1b[2Jb"),
          std::string("a/\xe2\x80\xae"), levels(TREE_MAX_DEPTH + 1), std::string(PATH_MAX, 'a'),
          "a/" + std::string(NAME_MAX + 1, 'b')})
        EXPECT_NE(tree_path_refused(bad.c_str()), nullptr) << bad;
    for (const std::string& good : {std::string("photos/2024/a.jpg"), std::string("a b/..c/.d"),
                                    std::string("Makefile"), levels(TREE_MAX_DEPTH)})
        EXPECT_EQ(tree_path_refused(good.c_str()), nullptr) << good;
}

TEST_F(Tree, DirectoriesAreMadeUnderTheBaseAndNeverThroughALink) {
    fs::create_directories("dl/ok");
    fs::create_directories("outside");
    fs::create_symlink("../outside", "dl/evil");
    fs::create_symlink("../outside/nowhere", "dl/dangling");
    write("dl/file", "x");
    mode_t old = umask(027);
    EXPECT_EQ(make_dirs("dl", "ok/new/deeper"), "");
    umask(old);
    struct stat info {};
    ASSERT_EQ(lstat("dl/ok/new/deeper", &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0750u);
    EXPECT_EQ(make_dirs("dl", ""), "");  // the download directory itself
    for (const char* planted : {"evil/sub", "evil", "dangling/x", "file/sub", "file"})
        EXPECT_EQ(make_dirs("dl", planted), "it exists as something other than a directory")
            << planted;
    for (const char* bad : {"../outside/x", "ok/../../outside/y", "/tmp/x", "ok//z"})
        EXPECT_NE(make_dirs("dl", bad), "") << bad;
    // Nothing was made outside the download directory, nor through its links.
    EXPECT_TRUE(fs::is_empty("outside"));
    EXPECT_FALSE(fs::exists("ok"));
}

TEST_F(Tree, RecursiveListsFilesEmptyDirectoriesAndLinksInsideOnly) {
    write("t/a.txt", "a");
    write("t/B/c", "exec");
    write("t/B/C", "other");
    fs::permissions("t/B/c", fs::perms::owner_exec, fs::perm_options::add);
    fs::create_directories("t/empty");
    fs::create_directories("t/sub/inner");
    write("secret", "s");
    fs::create_symlink("a.txt", "t/in");
    fs::create_symlink("../secret", "t/out");
    fs::create_symlink(".", "t/loop");
    ASSERT_EQ(mkfifo("t/fifo", 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_tree("t/"), 9);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(aliases(files.upload_queue),
              (Strings{"t/B/C", "t/B/c", "t/B/", "t/a.txt", "t/empty/", "t/in", "t/sub/inner/",
                       "t/sub/", "t/"}));  // a directory after what lies in it
    EXPECT_EQ(names(files.upload_queue), (Strings{"t/B/C", "t/B/c", "t/B", "t/a.txt", "t/empty",
                                                  "t/in", "t/sub/inner", "t/sub", "t"}));
    const file_entry* c = files.upload_queue.head->next;
    EXPECT_TRUE(c->executable);
    EXPECT_FALSE(files.upload_queue.head->executable);
    EXPECT_EQ(files.upload_queue.tail->prev->prev->prev->length, 1);  // t/in: the link's target
    EXPECT_TRUE(tree_directory(files.upload_queue.tail));
    EXPECT_FALSE(tree_directory(files.upload_queue.head));
    ASSERT_EQ(files.unsent_count, 3);
    EXPECT_EQ(files.unsent[0].name + std::string(": ") + files.unsent[0].reason,
              "t/fifo: a special file");
    EXPECT_EQ(files.unsent[1].reason, std::string("a link to a directory"));
    EXPECT_EQ(files.unsent[2].reason, std::string("a link out of the tree"));
    EXPECT_NE(told.find("t/out: a link out of the tree: not sent"), std::string::npos) << told;
    // Named as ".", the tree still arrives under its own name; an empty tree as a directory.
    reset_up_to_files();
    fs::current_path("t/empty");
    EXPECT_EQ(add_tree("."), 1);
    EXPECT_EQ(aliases(files.upload_queue), (Strings{"empty/"}));
    EXPECT_EQ(add_tree("nothing-here"), 0);
    EXPECT_EQ(files.upload_names_missing, 1);
    // A path longer than an offer carries is skipped with the reason; its parent arrives.
    reset_up_to_files();
    std::string a(250, 'a');
    fs::create_directories("long/" + a + "/" + std::string(250, 'b'));
    EXPECT_EQ(add_tree("long"), 2);
    EXPECT_EQ(aliases(files.upload_queue), (Strings{"long/" + a + "/", "long/"}));
    EXPECT_EQ(files.unsent[0].reason, std::string("its path is too long for an offer"));
}
