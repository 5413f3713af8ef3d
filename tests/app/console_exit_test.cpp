// The whole program in device mode, its console a pseudo-terminal: the console is
// raw while the program runs and has exactly its old attributes after it ends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "support/child.h"
#include "support/pty.h"

namespace {

struct device_run {
    bool ended = false;
    int status = 0;
    bool saw_raw = false;  // the console was raw at some moment of the run
    std::string screen;    // all the console showed
    std::string wire;      // all the program sent on the line
    bool console_restored = false;
    bool line_restored = false;
};

// Runs the fast-clock program in device mode with a pseudo-terminal as its console
// (and controlling terminal) and another as its line; nobody answers on the line.
// Once the console is raw, `signal_when_raw` (if not 0) is sent to the program.
device_run run_device_mode(const char* extra_option, int signal_when_raw) {
    device_run run;
    pty_pair line = open_pty();
    pty_pair console = open_pty();
    set_nonblocking(line.master);
    set_nonblocking(console.master);
    if (line.slave < 0 || console.slave < 0) return run;
    termios before{};
    tcgetattr(console.slave, &before);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    before.c_cc[VINTR] = 3;
    tcsetattr(console.slave, TCSANOW, &before);
    tcgetattr(console.slave, &before);
    termios line_before{};
    tcgetattr(line.slave, &line_before);

    int status = run_child(
        [&] {
            setsid();
            ioctl(console.slave, TIOCSCTTY, 0);
            dup2(console.slave, 0);
            dup2(console.slave, 1);
            dup2(console.slave, 2);
            setenv("KESTRO_CLOCK_RATE", "20", 1);
            setenv("TERM", "xterm", 1);  // a terminal the display can run on
            unsetenv("LINES");
            unsetenv("COLUMNS");
            execl(KESTRO_FASTCLOCK_BIN, KESTRO_FASTCLOCK_BIN, extra_option, "-p", line.path.c_str(),
                  static_cast<char*>(nullptr));
        },
        [&](pid_t child) {
            termios now{};
            if (!run.saw_raw && tcgetattr(console.slave, &now) == 0 &&
                (now.c_lflag & (ICANON | ECHO)) == 0) {
                run.saw_raw = true;
                if (signal_when_raw != 0) kill(child, signal_when_raw);
            }
            drain_into(console.master, run.screen);
            drain_into(line.master, run.wire);
        });
    run.ended = status != -1;
    run.status = status;
    termios after{}, line_after{};
    run.console_restored = tcgetattr(console.slave, &after) == 0 && same_attrs(after, before);
    run.line_restored =
        tcgetattr(line.slave, &line_after) == 0 && same_attrs(line_after, line_before);
    for (int fd : {line.slave, line.master, console.slave, console.master}) close(fd);
    return run;
}

TEST(ConsoleAtExit, AttributesRestoredExactlyAfterTheLinkTimesOut) {
    device_run run = run_device_mode("-R", 0);
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_TRUE(run.saw_raw);
    EXPECT_NE(run.screen.find("\r\nZARN data link time-out.\r\n"), std::string::npos) << run.screen;
    EXPECT_TRUE(run.console_restored);
    EXPECT_TRUE(run.line_restored);
}

// With -t the first hang-up is the carrier loss: caught, not fatal by itself.
TEST(ConsoleAtExit, HangupWithCarrierModeTwoEndsAsCarrierLost) {
    device_run run = run_device_mode("-t", SIGHUP);
    ASSERT_TRUE(run.ended);
    ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_NE(run.screen.find("\r\nCarrier lost.\r\n"), std::string::npos) << run.screen;
    EXPECT_EQ(run.screen.find("Waiting for ZARN termination"), std::string::npos);
    EXPECT_EQ(run.wire.find("{}{|{}"), std::string::npos);  // nobody on the line: no goodbye
    EXPECT_TRUE(run.console_restored);
}

// Without -t a hang-up means the console went away: the run ends at once, the peer still
// gets the goodbye (not waited for), the console gets its settings back.
TEST(ConsoleAtExit, HangupEndsTheRunWithTheGoodbyeOnly) {
    device_run run = run_device_mode("-R", SIGHUP);
    ASSERT_TRUE(run.ended);
    ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
    EXPECT_NE(run.screen.find("\r\nHangup (SIGHUP).\r\n"), std::string::npos) << run.screen;
    EXPECT_EQ(run.screen.find("Waiting for ZARN termination"), std::string::npos);
    EXPECT_NE(run.wire.find("{}{|{}"), std::string::npos);
    EXPECT_TRUE(run.console_restored);
}

}  // namespace
