// Supervision (carrier, silence, clock jumps) and the end of the link: the goodbye
// exchange against a scripted peer on a pseudo-terminal, time driven by the seam.
#include "link/supervise.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "link/codec.h"
#include "serial/lock.h"
#include "serial/port.h"
#include "serial/process.h"
#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "support/state.h"
#include "termination_fixture.h"

namespace {

// ---- Supervision ----

// Checks at the given seconds, in order: "survived", or what the failure recorded, and when.
std::string checks_at(std::initializer_list<time_t> seconds) {
    int code = end_code([&] {
        for (time_t second : seconds) {
            serial.clock = second;
            supervise();
        }
    });
    if (code < 0) return "survived";
    return "[" + std::string(termination.fail_message) + "|" +
           std::to_string(termination.termination_level) + "|" +
           std::to_string(termination.pause_flag) + "|" + std::to_string(serial.clock) + "] " +
           std::to_string(code);
}

std::string failed_at(const char* message, int level, int pause, time_t second) {
    return "[" + std::string(message) + "|" + std::to_string(level) + "|" + std::to_string(pause) +
           "|" + std::to_string(second) + "] " + std::to_string(outstanding);
}

class Supervision : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_link();
        process.exit_status = outstanding;
        serial.carrier_mode = 2;  // carrier follows no_hangup_flag: a line we control
        codec.last_rx_time = 100;
        termination.last_check_clock = 100;
    }
    void TearDown() override { reset_up_to_link(); }
};

TEST_F(Supervision, CarrierLostOnceTheClockReadsTwoPastTheLastSecondWithCarrier) {
    EXPECT_EQ(checks_at({100}), "survived");
    no_hangup_flag = 0;
    EXPECT_EQ(checks_at({101, 102}), failed_at("Carrier lost.", 0, 1, 102));
}

TEST_F(Supervision, NoCarrierAtTheFirstCheckFailsAtOnce) {
    no_hangup_flag = 0;
    EXPECT_EQ(checks_at({101}), failed_at("Carrier lost.", 0, 1, 101));
}

TEST_F(Supervision, CarrierNeverTestedInModeZero) {
    serial.carrier_mode = 0;
    no_hangup_flag = 0;
    EXPECT_EQ(checks_at({100, 110, 120, 130, 140, 150, 160}), "survived");
}

TEST_F(Supervision, SilenceTimesOutAfterMoreThanSixtySeconds) {
    EXPECT_EQ(checks_at({100, 120, 140, 160}), "survived");
    EXPECT_EQ(checks_at({161}), failed_at("ZARN data link time-out.", 1, 1, 161));
}

TEST_F(Supervision, JumpOfThirtyKeepsTheSilenceTimer) {
    codec.last_rx_time = 90;
    termination.last_check_clock = 120;
    EXPECT_EQ(checks_at({150, 151}), failed_at("ZARN data link time-out.", 1, 1, 151));
}

TEST_F(Supervision, JumpOfMoreThanThirtyRestartsTheSilenceTimer) {
    codec.last_rx_time = 90;
    termination.last_check_clock = 119;
    // The jump to 150 restarts: silence now counts from 150.
    EXPECT_EQ(checks_at({150, 160, 170, 180, 190, 200, 210}), "survived");
    EXPECT_EQ(checks_at({211}), failed_at("ZARN data link time-out.", 1, 1, 211));
}

TEST_F(Supervision, ClockSetForwardAnHourDoesNotTimeOut) {
    EXPECT_EQ(checks_at({100 + 3600, 100 + 3600 + 30, 100 + 3600 + 60}), "survived");
}

TEST_F(Supervision, NoTimeOutWhileThePeerIsInAnInterruption) {
    codec.link_interrupted = 1;
    for (time_t t = 110; t <= 1000; t += 10) ASSERT_EQ(checks_at({t}), "survived") << t;
    codec.link_interrupted = 0;
    EXPECT_EQ(checks_at({1010}), failed_at("ZARN data link time-out.", 1, 1, 1010));
}

// Stop signals say goodbye without a pause; a hang-up took the line in door mode, with -t
// it is the carrier's loss. A lost console ends the run as a hang-up in device mode.
TEST_F(Supervision, StopSignalsAndALostConsoleEndAtTheirLevels) {
    stop_signal = SIGTERM;
    stop_count = 1;
    EXPECT_EQ(checks_at({100}), failed_at("Terminated (SIGTERM).", 1, 0, 100));
    stop_signal = SIGHUP;
    EXPECT_EQ(checks_at({100}), failed_at("Carrier lost.", 0, 1, 100));
    serial.carrier_mode = 1;
    serial.door_mode = true;
    EXPECT_EQ(checks_at({100}), failed_at("Hangup (SIGHUP).", 0, 0, 100));
    stop_count = 0;
    serial.console_lost = true;
    EXPECT_EQ(checks_at({100}), failed_at("Console lost.", 1, 0, 100));
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
        reset_up_to_link();
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
        reset_up_to_link();
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

// A stop signal ends the wait at once: nobody waits fifteen seconds for a peer then.
TEST_F(GoodbyeWait, StopSignalEndsTheWaitAtOnce) {
    stop_count = 2;
    EXPECT_STREQ(goodbye_wait(), "cancelled\r\n");
    EXPECT_EQ(serial.clock, 1001);
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

// ---- The whole end of the run ----

TEST_F(Termination, PeerAnswersTheGoodbye) {
    ending_plan plan;
    plan.answer = "{}{|{}";
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err, "\nZARN data link closed.\nWaiting for ZARN termination... ok.\n[no pause]");
}

// The peer's goodbye may begin in the codec's last read: its `{` is held there.
TEST_F(Termination, GoodbyeWhoseBraceTheCodecReadIsRecognised) {
    ending_plan plan;
    plan.brace_read = true;
    plan.answer = "|{}";
    EXPECT_EQ(run(plan).err,
              "\nZARN data link closed.\nWaiting for ZARN termination... ok.\n[no pause]");
}

TEST_F(Termination, SilentPeerTimesOut) {
    ending_plan plan;
    plan.clock = running_time;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err,
              "\nZARN data link closed.\nWaiting for ZARN termination... time-out\n"
              "[no pause]");
}

TEST_F(Termination, CtrlCOnTheConsoleCancelsTheWait) {
    ending_plan plan;
    plan.ctrl_c = true;
    ending r = run(plan);
    EXPECT_EQ(r.err,
              "\nZARN data link closed.\nWaiting for ZARN termination... cancelled\n"
              "[no pause]");
}

TEST_F(Termination, LevelOneSaysGoodbyeWithoutWaiting) {
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "ZARN data link terminated.";
    plan.level = SEND_GOODBYE;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}");
    EXPECT_EQ(r.err, "\nZARN data link terminated.\n[no pause]");
}

TEST_F(Termination, LevelZeroSendsNothingAndPausesFiveSeconds) {
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "Carrier lost.";
    plan.level = CLOSE_PORT_ONLY;
    plan.pause = PAUSE_AFTER;
    plan.clock = running_time;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "");
    EXPECT_EQ(r.err, "\nCarrier lost.\n[paused 5 s]");
}

TEST_F(Termination, LineAttributesAreBackAfterTheEnd) {
    termios before{};
    tcgetattr(line.slave, &before);
    ending_plan plan;
    plan.end = how::link_fail;
    plan.message = "ZARN data link error.";
    plan.level = SEND_GOODBYE;
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
