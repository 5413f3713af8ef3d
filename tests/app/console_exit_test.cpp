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
// Once the console is raw, `signal_when_raw` (if not 0) is sent to the program. With
// `close_console` the console is no controlling terminal, standard error goes to a pipe
// (read into `screen`), and the console's other side is closed once it is raw.
device_run run_device_mode(const char* extra_option, int signal_when_raw, bool close_console = false) {
    device_run run;
    pty_pair line = open_pty();
    pty_pair console = open_pty();
    set_nonblocking(line.master);
    set_nonblocking(console.master);
    if (line.slave < 0 || console.slave < 0) return run;
    int err[2] = {-1, -1};
    if (close_console && pipe(err) != 0) return run;
    if (close_console) set_nonblocking(err[0]);
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
            if (!close_console) ioctl(console.slave, TIOCSCTTY, 0);
            dup2(console.slave, 0);
            dup2(console.slave, 1);
            dup2(close_console ? err[1] : console.slave, 2);
            close(console.master);  // the other sides are the test's alone
            close(line.master);
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
                if (close_console) {
                    close(console.master);
                    console.master = -1;
                }
            }
            drain_into(close_console ? err[0] : console.master, run.screen);
            drain_into(line.master, run.wire);
        });
    run.ended = status != -1;
    run.status = status;
    termios after{}, line_after{};
    run.console_restored = tcgetattr(console.slave, &after) == 0 && same_attrs(after, before);
    run.line_restored =
        tcgetattr(line.slave, &line_after) == 0 && same_attrs(line_after, line_before);
    for (int fd : {line.slave, line.master, console.slave, console.master, err[0], err[1]})
        if (fd >= 0) close(fd);
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
// gets the goodbye (not waited for), the port and console get their settings back. A
// console that was a terminal and then hangs up under the run ends it the same way.
TEST(ConsoleAtExit, HangupOrALostConsoleEndsTheRunWithTheGoodbyeOnly) {
    for (bool by_signal : {true, false}) {
        device_run run = by_signal ? run_device_mode("-R", SIGHUP) : run_device_mode("-R", 0, true);
        ASSERT_TRUE(run.ended);
        ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
        EXPECT_EQ(WEXITSTATUS(run.status), 0);
        const char* said = by_signal ? "\r\nHangup (SIGHUP).\r\n" : "\r\nConsole lost.\r\n";
        EXPECT_NE(run.screen.find(said), std::string::npos) << run.screen;
        EXPECT_EQ(run.screen.find("Waiting for ZARN termination"), std::string::npos);
        EXPECT_NE(run.wire.find("{}{|{}"), std::string::npos);
        EXPECT_TRUE(run.line_restored);
        if (by_signal) {
            EXPECT_TRUE(run.console_restored);
        }
    }
}

}  // namespace
