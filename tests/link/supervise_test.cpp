// Supervision (carrier, silence, clock jumps) and the end of the link: the goodbye
// exchange against a scripted peer on a pseudo-terminal, time driven by the seam.
#include "link/supervise.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/pty.h"
#include "app/app.h"
#include "app/settings.h"
#include "link/codec.h"
#include "serial/port.h"

namespace {

void reset_all() {
    serial = serial_state{};
    settings = settings_state{};
    termination = termination_state{};
    codec = codec_state{};
    no_hangup_flag = 1;
    time_source = system_time_source;
}

// ---- Supervision ----

// Runs after link_fail's exit: what the failure recorded, and when.
void report_failure() {
    fprintf(stderr, "[%s|%d|%d|%ld]", termination.fail_message, termination.termination_level,
            termination.pause_flag, static_cast<long>(serial.clock));
}

void check_at(time_t second) {
    serial.clock = second;
    supervise();
}

constexpr int survived = 77;
constexpr int outstanding = 3;  // the exit status every failure here must exit with

class Supervision : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_all();
        settings.exit_status = outstanding;
        settings.carrier_mode = 2;  // carrier follows no_hangup_flag: a line we control
        termination.carrier_mode = 2;
        codec.last_rx_time = 100;
        termination.last_check_clock = 100;
    }
    void TearDown() override { reset_all(); }
};

TEST_F(Supervision, CarrierLostOnceTheClockReadsTwoPastTheLastSecondWithCarrier) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            check_at(100);
            no_hangup_flag = 0;
            check_at(101);
            check_at(102);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[Carrier lost\\.\\|0\\|1\\|102\\]$");
}

TEST_F(Supervision, NoCarrierAtTheFirstCheckFailsAtOnce) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            no_hangup_flag = 0;
            check_at(101);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[Carrier lost\\.\\|0\\|1\\|101\\]$");
}

TEST_F(Supervision, CarrierNeverTestedInModeZero) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            settings.carrier_mode = 0;
            termination.carrier_mode = 0;
            no_hangup_flag = 0;
            for (time_t t = 100; t <= 160; t += 10) check_at(t);
            _exit(survived);
        },
        ::testing::ExitedWithCode(survived), "^$");
}

TEST_F(Supervision, SilenceTimesOutAfterMoreThanSixtySeconds) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            for (time_t t = 100; t <= 160; t += 20) check_at(t);
            check_at(161);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[ZARN data link time-out\\.\\|1\\|1\\|161\\]$");
}

TEST_F(Supervision, JumpOfThirtyKeepsTheSilenceTimer) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            codec.last_rx_time = 90;
            termination.last_check_clock = 120;
            check_at(150);
            check_at(151);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[ZARN data link time-out\\.\\|1\\|1\\|151\\]$");
}

TEST_F(Supervision, JumpOfMoreThanThirtyRestartsTheSilenceTimer) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            codec.last_rx_time = 90;
            termination.last_check_clock = 119;
            check_at(150);  // restarts: silence now counts from 150
            for (time_t t = 160; t <= 210; t += 10) check_at(t);
            check_at(211);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[ZARN data link time-out\\.\\|1\\|1\\|211\\]$");
}

TEST_F(Supervision, ClockSetForwardAnHourDoesNotTimeOut) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            check_at(100 + 3600);
            check_at(100 + 3600 + 30);
            check_at(100 + 3600 + 60);
            _exit(survived);
        },
        ::testing::ExitedWithCode(survived), "^$");
}

TEST_F(Supervision, NoTimeOutWhileThePeerIsInAnInterruption) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            codec.link_interrupted = 1;
            for (time_t t = 110; t <= 1000; t += 10) check_at(t);
            codec.link_interrupted = 0;
            check_at(1010);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding),
        "^\\[ZARN data link time-out\\.\\|1\\|1\\|1010\\]$");
}

TEST_F(Supervision, BreakFlagEndsWithoutPause) {
    EXPECT_EXIT(
        {
            atexit(report_failure);
            termination.break_flag = 1;
            check_at(100);
            _exit(survived);
        },
        ::testing::ExitedWithCode(outstanding), "^\\[Ctrl\\+C pressed\\.\\|1\\|0\\|100\\]$");
}

// ---- The goodbye wait, second by second ----

// The scripted peer: bytes it sends when the clock reaches a second. The clock
// stands still while bytes wait on the line and moves one second at each reading
// of a quiet line; the script's bytes are on the line before the reading returns.
struct scripted_peer {
    time_t now = 0;
    int master = -1;
    int slave = -1;
    std::vector<std::pair<time_t, std::string>> script;
};
scripted_peer peer;

time_t scripted_time() {
    int unread = 0;
    ioctl(peer.slave, FIONREAD, &unread);
    if (unread > 0) return peer.now;
    ++peer.now;
    for (const auto& [second, bytes] : peer.script) {
        if (second != peer.now) continue;
        int waiting = 0;
        ioctl(peer.slave, FIONREAD, &waiting);
        if (write(peer.master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()))
            settle(peer.slave, waiting + static_cast<int>(bytes.size()));
    }
    return peer.now;
}

class GoodbyeWait : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_all();
        line = open_pty(true);
        ASSERT_GE(line.slave, 0);
        serial.line_fd = line.slave;
        serial.door_mode = true;  // no console: the test's own stdin stays out of it
        peer = scripted_peer{};
        peer.master = line.master;
        peer.slave = line.slave;
        peer.now = 1000;
        serial.clock = 1000;
        time_source = scripted_time;
    }
    void TearDown() override {
        reset_all();
        close_pty(line);
    }
    pty_pair line;
};

TEST_F(GoodbyeWait, SilentPeerTimesOutAfterFifteenSeconds) {
    EXPECT_STREQ(goodbye_wait(), "time-out\r\n");
    EXPECT_EQ(serial.clock, 1015);
}

TEST_F(GoodbyeWait, EachByteRestartsTheFifteenSeconds) {
    peer.script = {{1010, "x"}};
    EXPECT_STREQ(goodbye_wait(), "time-out\r\n");
    EXPECT_EQ(serial.clock, 1025);
}

TEST_F(GoodbyeWait, ChattyPeerStillEndsAfterSixtySecondsInAll) {
    for (time_t t = 1010; t < 1100; t += 10) peer.script.push_back({t, "{x"});
    EXPECT_STREQ(goodbye_wait(), "time-out\r\n");
    EXPECT_EQ(serial.clock, 1060);
}

TEST_F(GoodbyeWait, GoodbyeSplitOverTwoSecondsIsRecognised) {
    peer.script = {{1003, "junk{"}, {1007, "|"}};
    EXPECT_STREQ(goodbye_wait(), "ok.\r\n");
    EXPECT_EQ(serial.clock, 1007);
}

TEST_F(GoodbyeWait, BarWithoutBraceRightBeforeItIsNoGoodbye) {
    peer.script = {{1003, "{x|"}, {1004, "|}|"}};
    EXPECT_STREQ(goodbye_wait(), "time-out\r\n");
    EXPECT_EQ(serial.clock, 1019);
}

// ---- The whole termination, run by exit() in a child process ----

struct ending {
    int code = -1;
    std::string err;   // standard error (and output) of the child, whole
    std::string line;  // everything the child wrote to the line
};

time_t closed_at = -1;  // first clock reading after the port was closed

time_t note_close(time_t now) {
    if (!serial.is_open && closed_at < 0) closed_at = now;
    return now;
}
time_t frozen_time() {
    return note_close(5000);
}
time_t running_time() {
    static time_t now = 5000;
    return note_close(++now);
}

// Registered before link_terminate, so it runs after it: how long the pause lasted.
void report_pause() {
    if (closed_at < 0)
        fputs("[no pause]", stderr);
    else
        fprintf(stderr, "[paused %ld s]", static_cast<long>(serial.clock - closed_at));
}

enum class how { exit_normally, link_fail, internal_error };

struct ending_plan {
    int level = 2;
    const char* message = nullptr;  // link_fail's message, or the default
    int pause = 0;
    how end = how::exit_normally;
    time_t (*clock)() = frozen_time;
    std::string answer;   // written to the line once our goodbye has arrived
    bool ctrl_c = false;  // a Ctrl+C waits on the console
};

class Termination : public ::testing::Test {
   protected:
    void SetUp() override {
        line = open_pty(true);
        console = open_pty(true);
        ASSERT_GE(line.slave, 0);
        ASSERT_GE(console.slave, 0);
    }
    void TearDown() override {
        close_pty(line);
        close_pty(console);
    }

    ending run(const ending_plan& plan) {
        if (plan.ctrl_c) {
            EXPECT_EQ(write(console.master, "\x03", 1), 1);
            EXPECT_TRUE(settle(console.slave, 1));
        }
        int err_pipe[2];
        if (pipe(err_pipe) != 0) return {};
        pid_t child = fork();
        if (child == 0) {
            dup2(console.slave, 0);
            dup2(err_pipe[1], 1);
            dup2(err_pipe[1], 2);
            close(err_pipe[0]);
            reset_all();
            settings.exit_status = outstanding;
            settings.carrier_mode = 0;
            if (port_open(line.path.c_str(), 0, 'H') == PORT_OPEN_FAILED) _exit(99);
            time_source = plan.clock;
            clock_update();
            if (plan.end == how::internal_error) atexit(exit_handler);
            atexit(report_pause);
            atexit(link_terminate);
            if (plan.end == how::link_fail) link_fail(plan.message, plan.level, plan.pause);
            termination.termination_level = plan.level;
            if (plan.end == how::internal_error) internal_error_exit(5);
            exit(settings.exit_status);
        }
        close(err_pipe[1]);
        ending result;
        fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
        bool answered = false;
        pollfd fds[2] = {{err_pipe[0], POLLIN, 0}, {line.master, POLLIN, 0}};
        while (fds[0].fd >= 0) {
            // Generous safety limit: a wait that never ends fails the test, not the run.
            if (poll(fds, 2, 30000) <= 0) {
                kill(child, SIGKILL);
                break;
            }
            char buffer[256];
            if (fds[1].revents & POLLIN) {
                ssize_t n = read(line.master, buffer, sizeof buffer);
                if (n > 0) result.line.append(buffer, static_cast<size_t>(n));
            }
            if (fds[0].revents) {
                ssize_t n = read(err_pipe[0], buffer, sizeof buffer);
                if (n > 0) {
                    result.err.append(buffer, static_cast<size_t>(n));
                } else {
                    close(fds[0].fd);
                    fds[0].fd = -1;
                }
            }
            if (!answered && !plan.answer.empty() &&
                result.line.find(termination_sequence) != std::string::npos) {
                answered = write(line.master, plan.answer.data(), plan.answer.size()) > 0;
            }
        }
        int status = 0;
        waitpid(child, &status, 0);
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        collect_rest(result.line);
        return result;
    }

    // A marker written after the child has gone ends what it wrote to the line.
    void collect_rest(std::string& out) {
        fcntl(line.slave, F_SETFL, fcntl(line.slave, F_GETFL) | O_NONBLOCK);
        bool marker_sent = false;
        for (int turn = 0; turn < 30000; ++turn) {
            if (!marker_sent) marker_sent = write(line.slave, "#", 1) == 1;
            char buffer[256];
            ssize_t n = read(line.master, buffer, sizeof buffer);
            if (n <= 0) {
                poll(nullptr, 0, 1);
                continue;
            }
            std::string got(buffer, static_cast<size_t>(n));
            size_t mark = got.find('#');
            out += got.substr(0, mark);
            if (mark != std::string::npos) return;
        }
        ADD_FAILURE() << "marker never came back";
    }

    pty_pair line, console;
};

TEST_F(Termination, PeerAnswersTheGoodbye) {
    ending_plan plan;
    plan.answer = "{}{|{}";
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err,
              "\r\nZARN data link closed.\r\nWaiting for ZARN termination... ok.\r\n[no pause]");
}

TEST_F(Termination, SilentPeerTimesOut) {
    ending_plan plan;
    plan.clock = running_time;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err,
              "\r\nZARN data link closed.\r\nWaiting for ZARN termination... time-out\r\n"
              "[no pause]");
}

TEST_F(Termination, CtrlCOnTheConsoleCancelsTheWait) {
    ending_plan plan;
    plan.ctrl_c = true;
    ending r = run(plan);
    EXPECT_EQ(r.err,
              "\r\nZARN data link closed.\r\nWaiting for ZARN termination... cancelled\r\n"
              "[no pause]");
}

TEST_F(Termination, LevelOneSaysGoodbyeWithoutWaiting) {
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "ZARN data link terminated.";
    plan.level = 1;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err, "\r\nZARN data link terminated.\r\n[no pause]");
}

TEST_F(Termination, LevelZeroSendsNothingAndPausesFiveSeconds) {
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "Carrier lost.";
    plan.level = 0;
    plan.pause = 1;
    plan.clock = running_time;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "");
    EXPECT_EQ(r.err, "\r\nCarrier lost.\r\n[paused 5 s]");
}

TEST_F(Termination, FatalInternalErrorLineComesAfterTheTerminationOutput) {
    ending_plan plan;
    plan.end = how::internal_error;
    plan.answer = "{|";
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.err,
              "\r\nZARN data link closed.\r\nWaiting for ZARN termination... ok.\r\n"
              "[no pause]Fatal internal error 5.\r\n");
}

TEST_F(Termination, LineAttributesAreBackAfterTheEnd) {
    termios before{};
    tcgetattr(line.slave, &before);
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "ZARN data link error.";
    plan.level = 1;
    ending r = run(plan);
    EXPECT_EQ(r.line, "{}{|{}");
    termios after{};
    tcgetattr(line.slave, &after);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
}

}  // namespace
