// Command-line names, list files, upload directories and the regular-file rule.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scratch.h"

using Lists = Scratch;
using Strings = std::vector<std::string>;

namespace {
Strings applied;
void collect(const char* name) { applied.push_back(name); }
}  // namespace

TEST_F(Lists, ListFileStripsTrailingKeepsLeadingAndSkipsLongLines) {
    std::string lines = "first\n\n  second name  \r\n@not-nested\n";
    lines += std::string(1500, 'x') + "\n";  // too long: neither whole nor in pieces
    lines += std::string(1023, 'y') + "\n";  // exactly fits
    lines += "caf\xc3\xa9\t\nlast";
    write("list", lines);
    applied.clear();
    expand_argument("@list", collect);
    EXPECT_EQ(applied, (Strings{"first", "  second name", "@not-nested", std::string(1023, 'y'),
                                "caf\xc3\xa9", "last"}));
    applied.clear();
    expand_argument("plain", collect);
    EXPECT_EQ(applied, Strings{"plain"});
}

TEST_F(Lists, MissingListFileExitsTen) {
    EXPECT_EXIT(expand_argument("@absent", collect), ::testing::ExitedWithCode(10),
                "^File not found: absent$");
}

TEST_F(Lists, BareNamesSearchUploadDirsInOrder) {
    write("one/f", "1");
    write("two/f", "22");
    write("f", "333");
    write("three/g", "");
    add_argument_name("one");
    add_argument_name("two/");
    add_argument_name("ghost/");  // a trailing '/' names a directory even when absent
    add_argument_name("f");
    add_argument_name("three/g");
    EXPECT_EQ(names(files.upload_queue), (Strings{"one/f", "two/f", "three/g"}));
    EXPECT_EQ(files.upload_queue.head->size, 1);
    EXPECT_EQ(files.upload_queue.head->status, 1);
    // A peer's request loses its directory part and is searched like a bare name.
    EXPECT_EQ(add_upload_name("../three/f", 0), 2);
    EXPECT_EQ(files.upload_queue.tail->status, 0);
    EXPECT_EQ(settings.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

TEST_F(Lists, OnlyRegularFilesBelowTwoGigabytes) {
    write("sub/x", "");
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    int fd = open("huge", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 31), 0);  // sparse, takes no disk
    close(fd);
    write("my file.txt", "data");
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_upload_name("sub", 1), 0);
    EXPECT_EQ(add_upload_name("pipe", 1), 0);
    EXPECT_EQ(add_upload_name("huge", 1), 0);
    EXPECT_EQ(add_upload_name("huge", 0), 0);  // a peer's request: silently not found
    EXPECT_EQ(add_upload_name("my file.txt", 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File too large: huge\r\n");
    EXPECT_EQ(names(files.upload_queue), Strings{"my file.txt"});
}

TEST_F(Lists, WildcardNamesAreLiteralOrRefusedWithK) {
    write("a*b", "");
    EXPECT_EQ(add_upload_name("a*", 1), 0);
    EXPECT_EQ(add_upload_name("a*b", 1), 1);
    settings.wildcards_allowed = 0;
    EXPECT_EQ(add_upload_name("a*b", 1), 0);
    EXPECT_EQ(settings.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

TEST_F(Lists, ReceiveAndRequestModesAndDirectories) {
    std::filesystem::create_directory("in");
    settings.name_mode = 'd';
    add_argument_name("in");
    add_argument_name("more/");
    add_argument_name("my name");
    settings.name_mode = 'r';
    add_argument_name("wanted");
    EXPECT_STREQ(files.download_dir, "in");
    ASSERT_NE(files.extra_dirs.head, nullptr);
    EXPECT_STREQ(files.extra_dirs.head->path, "more/");
    EXPECT_EQ(names(files.receive_names), Strings{"my name"});
    EXPECT_EQ(names(files.request_queue), Strings{"wanted"});
    EXPECT_EQ(files.request_queue.head->status, 1);
    EXPECT_EQ(files.receive_names_given, 1);
    EXPECT_EQ(settings.exit_status, EXIT_DOWNLOADS_OUTSTANDING);
}

TEST_F(Lists, OverlongPathsAreRefusedWholeNotCut) {
    std::string long_part(NAME_PART_SIZE, 'd');
    add_argument_name((long_part + "/").c_str());  // no directory node for it
    EXPECT_EQ(files.upload_dirs.head, nullptr);
    EXPECT_EQ(add_upload_name((long_part + "/f").c_str(), 1), 0);
    settings.name_mode = 'd';
    add_argument_name((long_part + "/").c_str());
    EXPECT_STREQ(files.download_dir, "");
}
