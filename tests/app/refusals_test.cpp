// What start-up refuses, and that it says so on standard error: a device path that is no
// terminal (refused by name, left as it was), a terminal that cannot run the display (before
// any byte goes on the line), a name on the command line that gives nothing to send.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"

namespace {

const std::vector<std::string> usable_terminal = {"TERM=xterm", "LINES", "COLUMNS"};

TEST(Refusals, DevicePathsThatAreNoTerminalAreNamedAndLeftAsTheyWere) {
    scratch_dir dir;
    ASSERT_FALSE(dir.root.empty());
    write_file(dir.path("scratch.txt"), "keep me\n");
    std::filesystem::create_directory(dir.path("folder"));
    const std::vector<std::pair<std::string, std::string>> refused = {
        {dir.path("scratch.txt"), "not a terminal device"},
        {dir.path("folder"), "not a terminal device"},
        {"/dev/null", "not a terminal device"},
        {dir.path("absent"), "No such file or directory"}};
    for (const auto& [path, reason] : refused) {
        program_run r = run_program(KESTRO_BIN, {"-p", path}, usable_terminal);
        EXPECT_EQ(r.code, 20) << path;
        EXPECT_EQ(r.err, "Error initializing rs-port.\r\nkestro: " + path + ": " + reason + "\n");
    }
    EXPECT_EQ(read_file(dir.path("scratch.txt")), "keep me\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("folder")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("absent")));
}

TEST(Refusals, TerminalThatCannotRunTheDisplayEndsBeforeAnyByteGoesOnTheLine) {
    pty_pair line = open_pty(true);
    ASSERT_GE(line.slave, 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> terminals = {
        {{"TERM"}, "TERM is not set"},
        {{"TERM=kestro-unknown"}, "terminal type 'kestro-unknown' is not known to curses"},
        {{"TERM=dumb"}, "terminal type 'dumb' cannot move the cursor"},
        {{"TERM=xterm", "LINES=11", "COLUMNS=80"},
         "the terminal has 80 columns and 11 lines; the display needs 40 by 12"},
        {{"TERM=xterm", "LINES=24", "COLUMNS=39"},
         "the terminal has 39 columns and 24 lines; the display needs 40 by 12"}};
    for (const auto& [environment, reason] : terminals) {
        program_run r = run_program(KESTRO_BIN, {"-p", line.path}, environment);
        EXPECT_EQ(r.code, 20) << reason;
        EXPECT_EQ(r.err, "kestro: cannot show the display: " + reason + "\n");
        EXPECT_EQ(r.out, "");  // not even the line that the link is being set up
        int waiting = -1;
        EXPECT_EQ(ioctl(line.master, FIONREAD, &waiting), 0);
        EXPECT_EQ(waiting, 0) << reason;
    }
    close_pty(line);
}

// Each name that gives nothing to send is told about; the run still goes on (here to a port
// that cannot be opened).
TEST(Refusals, NamesThatGiveNothingToSendAreToldAbout) {
    scratch_dir dir;
    ASSERT_FALSE(dir.root.empty());
    ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);
    write_file(dir.path("list"), dir.path("gone.txt") + "\n");
    program_run r = run_program(
        KESTRO_BIN, {dir.path("absent.txt"), dir.path("pipe"), "@" + dir.path("list"), "-p", "/nonexistent/kestro"},
        usable_terminal);
    EXPECT_EQ(r.code, 20);
    EXPECT_EQ(r.err, "kestro: " + dir.path("absent.txt") + ": No such file or directory\n" +
                         "kestro: " + dir.path("pipe") + ": not a regular file\n" + "kestro: " +
                         dir.path("gone.txt") + ": No such file or directory\n" +
                         "Error initializing rs-port.\r\nkestro: /nonexistent/kestro: No such file or directory\n");
}

}  // namespace
