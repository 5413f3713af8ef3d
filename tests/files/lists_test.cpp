// Command-line names, list files, upload directories and the regular-file rule.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "files/scan.h"
#include "files_fixture.h"

using Lists = Scratch;

static Strings applied;
static void collect(const char* name) { applied.push_back(name); }

TEST_F(Lists, ListFileStripsTrailingKeepsLeadingAndSkipsLongLines) {
    write("list", "first\n\n  second name  \r\n@not-nested\n" + std::string(1500, 'x') + "\n" +
                      std::string(1023, 'y') + "\ncaf\xc3\xa9\t\nlast");
    applied.clear();
    expand_argument("@list", collect);
    EXPECT_EQ(applied, (Strings{"first", "  second name", "@not-nested", std::string(1023, 'y'),
                                "caf\xc3\xa9", "last"}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(end_code([] { expand_argument("@absent", collect); }), EXIT_LIST_NOT_FOUND);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File not found: absent\n");
}

TEST_F(Lists, BareNamesSearchUploadDirsInOrder) {
    write("one/f", "1");
    write("two/f", "22");
    write("f", "333");
    write("three/g", "");
    for (const char* name : {"one", "two/", "ghost/", "f", "three/g"}) add_argument_name(name);
    EXPECT_EQ(names(files.upload_queue), (Strings{"one/f", "two/f", "three/g"}));
    EXPECT_EQ(files.upload_queue.head->size, 1);
    // A peer's request loses its directory part and is searched like a bare name.
    EXPECT_EQ(add_upload_name("../three/f", 0), 2);
    EXPECT_EQ(files.upload_queue.tail->status, 0);
    EXPECT_EQ(process.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

// A file past 2 GiB is listed: whether the peer takes its size is known only at its offer.
// A request for one is served only to a peer that takes it.
TEST_F(Lists, OnlyRegularFilesAndLargeOnesServedToAPeerThatTakesThem) {
    write("sub/x", "");
    write("my file.txt", "data");
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    write("huge", "");
    fs::resize_file("huge", uintmax_t{1} << 31);  // sparse: takes no disk
    testing::internal::CaptureStderr();
    for (const char* name : {"sub", "pipe"}) EXPECT_EQ(add_upload_name(name, 1), 0);
    EXPECT_EQ(add_upload_name("huge", 0), 0);  // a peer's request: just not found
    EXPECT_EQ(add_upload_name("huge", 1), 1);
    files.large_files_served = 1;
    EXPECT_EQ(add_upload_name("huge", 0), 1);
    EXPECT_EQ(add_upload_name("my file.txt", 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(names(files.upload_queue), (Strings{"huge", "huge", "my file.txt"}));
    EXPECT_EQ(files.upload_queue.head->length, int64_t{1} << 31);
}

// Such names were told only on a console the screen then covered, or (typed after Ctrl+U)
// not at all: each is noted with its reason, for the screen's info lines and the summary.
TEST_F(Lists, NamesThatSendNothingAreNotedWithTheirReason) {
    write("pic.jpg", "x");
    write("docs/readme", "x");
    testing::internal::CaptureStderr();
    for (const char* name : {"docs", "pic.jpg", "docs/readme"}) add_argument_name(name);
    for (const char* typed : {"nosuch", "*.xyz", "docs", "readme"}) expand_upload_word(typed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kestro: pic.jpg: not found in docs/; ./ before the name sends the one here\n"
              "kestro: nosuch: not found in docs/\n"
              "kestro: docs: a directory; docs/* names the files in it\n");
    Strings noted;
    for (int i = 0; i < files.unsent_count; ++i)
        noted.push_back(std::string(files.unsent[i].name) + ": " + files.unsent[i].reason);
    EXPECT_EQ(noted, (Strings{"pic.jpg: not found in docs/; ./ before the name sends the one here",
                              "nosuch: not found in docs/", "*.xyz: no file matches",
                              "docs: a directory; docs/* names the files in it"}));
    EXPECT_EQ(names(files.upload_queue), (Strings{"docs/readme", "docs/readme"}));
    for (int i = 0; i < MAX_UNSENT; ++i) note_not_sent("x", "y");
    EXPECT_EQ(files.unsent_more, 4);  // the rest are counted
}

TEST_F(Lists, WildcardNamesAreLiteralOrRefusedWithK) {
    write("a*b", "");
    EXPECT_EQ(add_upload_name("a*", 1), 0);
    EXPECT_EQ(add_upload_name("a*b", 1), 1);
    files.wildcards_allowed = 0;
    EXPECT_EQ(add_upload_name("a*b", 1), 0);
    EXPECT_EQ(process.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

TEST_F(Lists, ReceiveAndRequestModes) {
    fs::create_directory("in");
    files.name_mode = 'd';
    for (const char* name : {"in", "more/", "my name"}) add_argument_name(name);
    files.name_mode = 'r';
    add_argument_name("wanted");
    EXPECT_STREQ(files.download_dir, "in");
    EXPECT_STREQ(files.extra_dirs.head->path, "more/");
    EXPECT_EQ(names(files.receive_names), Strings{"my name"});
    EXPECT_EQ(names(files.request_queue), Strings{"wanted"});
    EXPECT_EQ(process.exit_status, EXIT_DOWNLOADS_OUTSTANDING);
}

TEST_F(Lists, OverlongPathsAreRefusedWholeNotCut) {
    std::string dir(NAME_PART_SIZE, 'd');
    add_argument_name((dir + "/").c_str());
    EXPECT_EQ(files.upload_dirs.head, nullptr);
    EXPECT_EQ(add_upload_name((dir + "/f").c_str(), 1), 0);
    files.name_mode = 'd';
    add_argument_name((dir + "/").c_str());
    EXPECT_STREQ(files.download_dir, "");
}

// "-U 'new*.dat'" against a -r peer was "Requested file not found": wildcards are served,
// within the served directories, regular files only, none beginning with a dot, and never
// more than a thousand; -k refuses them.
TEST_F(Lists, PeerWildcardRequestsServeTheServedDirectorysRegularFiles) {
    write("srv/new1.dat", "1");
    write("srv/new2.dat", "2");
    write("srv/.new3.dat", "3");
    write("srv/new4.dat/inside", "");
    write("new5.dat", "5");
    add_argument_name("srv/");
    EXPECT_EQ(add_requested_files("NEW?.dat", true), 2);
    EXPECT_EQ(add_requested_files("../*", true), 2);       // the directory part is dropped, as ever
    EXPECT_EQ(add_requested_files("new?.dat", false), 0);  // a peer that knows nothing of them
    Strings served = names(files.upload_queue);
    std::sort(served.begin(), served.end());
    EXPECT_EQ(served, (Strings{"srv/new1.dat", "srv/new1.dat", "srv/new2.dat", "srv/new2.dat"}));
    for (int i = 0; i < MAX_SERVED_MATCHES + 5; ++i) write("many/f" + std::to_string(i), "");
    dir_list_free_all(&files.upload_dirs);
    add_argument_name("many");
    EXPECT_EQ(add_requested_files("f*", true), MAX_SERVED_MATCHES);
    forbid_wildcards();
    EXPECT_EQ(add_requested_files("f*", true), 0);
}

// "kestro -p P -E 2 docs" sent nothing and said nothing: a directory no name to send
// followed is noted like a typed one.
TEST_F(Lists, DirectoryWithNoNameAfterItIsNotedAsSendingNothing) {
    write("docs/readme", "x");
    write("pics/a.jpg", "x");
    testing::internal::CaptureStderr();
    for (const char* name : {"pics", "a.jpg", "docs"}) add_argument_name(name);
    note_lone_directories();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kestro: docs: a directory; docs/* names the files in it\n");
    ASSERT_EQ(files.unsent_count, 1);
    EXPECT_STREQ(files.unsent[0].name, "docs");
}
