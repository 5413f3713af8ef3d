// What device mode refuses, each with one line on standard error and exit code 20: a path
// that is no terminal (named, left as it was), a terminal that cannot run the display
// (before any byte goes on the line); a name with nothing to send is told about on the way.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"

namespace {

struct refusal {
    std::vector<std::string> words, environment;
    std::string said;
};

TEST(Refusals, DeviceModeSaysWhatItCannotUseAndWritesNothing) {
    scratch_dir dir;
    pty_pair line = open_pty(true);
    write_file(dir.path("file"), "keep me\n");
    std::filesystem::create_directory(dir.path("folder"));
    const std::string port = "Error initializing rs-port.\nkestro: ",
                      display = "kestro: cannot show the display: ";
    const std::vector<std::string> terminal = {"TERM=xterm", "LINES", "COLUMNS"};
    const std::vector<refusal> refusals = {
        {{"-p", dir.path("file")}, terminal, port + dir.path("file") + ": not a terminal device\n"},
        {{"-p", dir.path("folder")},
         terminal,
         port + dir.path("folder") + ": not a terminal device\n"},
        {{"-p", "/dev/null"}, terminal, port + "/dev/null: not a terminal device\n"},
        {{dir.path("none"), "-p", dir.path("none")},
         terminal,
         "kestro: " + dir.path("none") + ": No such file or directory\n" + port + dir.path("none") +
             ": No such file or directory\n"},
        {{"-p", line.path}, {"TERM"}, display + "TERM is not set\n"},
        {{"-p", line.path},
         {"TERM=kestro-x"},
         display + "terminal type 'kestro-x' is not known to curses\n"},
        {{"-p", line.path},
         {"TERM=dumb"},
         display + "terminal type 'dumb' cannot move the cursor\n"},
        {{"-p", line.path},
         {"TERM=xterm", "LINES=11", "COLUMNS=39"},
         display + "the terminal has 39 columns and 11 lines; the display needs 40 by 12\n"}};
    for (const refusal& r : refusals) {
        program_run run = run_program(KESTRO_BIN, r.words, r.environment);
        EXPECT_EQ(run.code, 20) << r.said;
        EXPECT_EQ(run.err, r.said);
    }
    EXPECT_EQ(read_file(dir.path("file")), "keep me\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("folder")));
    int waiting = -1;
    EXPECT_EQ(ioctl(line.master, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0);  // the display's refusals came before the line was touched
    close_pty(line);
}

}  // namespace
