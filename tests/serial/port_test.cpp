// The serial line over a real pseudo-terminal pair: reads that never wait, the
// attributes put back exactly, carrier sensing in its three modes.
#include "serial/port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "serial/lock.h"
#include "support/child.h"
#include "support/clock.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "support/state.h"

namespace {

// Device mode uses descriptor 0 as the console: give it a terminal of its own, so
// the tests never touch the terminal they were started from.
class SerialLine : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_serial();
        line = open_pty();
        console = open_pty();
        ASSERT_GE(line.slave, 0);
        ASSERT_GE(console.slave, 0);
        saved_stdin = dup(0);
        dup2(console.slave, 0);
    }
    void TearDown() override {
        port_close();
        dup2(saved_stdin, 0);
        close(saved_stdin);
        close_pty(line);
        close_pty(console);
        reset_up_to_serial();
    }
    pty_pair line, console;
    int saved_stdin = -1;
};

TEST_F(SerialLine, ReadTakesAtMostTheMaximumAndLeavesTheRest) {
    ASSERT_NE(port_open(line.path.c_str(), 0, 'H'), PORT_OPEN_FAILED);
    uint8_t sent[300];
    for (int i = 0; i < 300; ++i) sent[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(write(line.master, sent, sizeof sent), 300);
    ASSERT_TRUE(settle(serial.line_fd, 300));

    uint8_t got[300] = {};
    EXPECT_EQ(port_read(got, 256), 256);
    int waiting = 0;
    ioctl(serial.line_fd, FIONREAD, &waiting);
    EXPECT_EQ(waiting, 44);
    EXPECT_EQ(port_read(got + 256, 256), 44);
    EXPECT_EQ(memcmp(got, sent, sizeof sent), 0);
    EXPECT_EQ(port_read(got, 256), 0);
}

// On a blocking descriptor a read with nothing waiting would hang the test.
TEST_F(SerialLine, ReadWithNothingWaitingNeverCallsTheBlockingRead) {
    serial.line_fd = line.slave;
    uint8_t byte = 0;
    EXPECT_EQ(port_read(&byte, 1), 0);
    EXPECT_EQ(port_read(&byte, 256), 0);
}

TEST_F(SerialLine, DeviceModeRestoresLineAndConsoleExactly) {
    // Distinctive starting attributes, so "restored" cannot pass by accident.
    termios line_before{}, console_before{};
    tcgetattr(line.slave, &line_before);
    line_before.c_iflag |= IXON | ICRNL;
    line_before.c_lflag |= ICANON | ECHO | ISIG;
    line_before.c_cc[VMIN] = 5;
    cfsetspeed(&line_before, B2400);
    tcsetattr(line.slave, TCSANOW, &line_before);
    tcgetattr(line.slave, &line_before);
    tcgetattr(console.slave, &console_before);
    console_before.c_lflag |= ICANON | ECHO | ISIG;
    console_before.c_cc[VINTR] = 3;
    tcsetattr(console.slave, TCSANOW, &console_before);
    tcgetattr(console.slave, &console_before);

    ASSERT_NE(port_open(line.path.c_str(), 0, 'H'), PORT_OPEN_FAILED);
    termios line_during{}, console_during{};
    tcgetattr(line.slave, &line_during);
    tcgetattr(console.slave, &console_during);
    EXPECT_EQ(line_during.c_iflag, 0u);
    EXPECT_EQ(line_during.c_lflag, 0u);
    EXPECT_EQ(line_during.c_oflag, 0u);
    EXPECT_EQ(line_during.c_cc[VMIN], 1);
    EXPECT_TRUE(line_during.c_cflag & CRTSCTS);
    EXPECT_EQ(cfgetospeed(&line_during), static_cast<speed_t>(B2400));  // speed is left alone
    EXPECT_EQ(console_during.c_lflag, 0u);
    EXPECT_EQ(console_during.c_cc[VINTR], 0);  // Ctrl+C is an ordinary byte
    EXPECT_TRUE(fcntl(serial.line_fd, F_GETFL) & O_NONBLOCK);

    port_close();
    termios line_after{}, console_after{};
    tcgetattr(line.slave, &line_after);
    tcgetattr(console.slave, &console_after);
    EXPECT_TRUE(same_attrs(line_after, line_before));
    EXPECT_TRUE(same_attrs(console_after, console_before));
    EXPECT_FALSE(serial.is_open);
    dup2(console.slave, 0);  // port_close closed the console descriptor
}

TEST_F(SerialLine, DeviceThatCannotBeOpenedReportsFailure) {
    EXPECT_EQ(port_open("/nonexistent/kestro-line", 0, 'H'), PORT_OPEN_FAILED);
    EXPECT_FALSE(serial.is_open);
}

// Door mode shares standard input and output with the calling system: run it in a
// child so the test's own output stays put, and check what the caller gets back.
TEST_F(SerialLine, DoorModeLeavesTheSharedDescriptorAsItFoundIt) {
    int status = run_child(
        [&] {
            int caller_copy = dup(line.slave);  // shares the open file with descriptor 1
            dup2(line.slave, 0);
            dup2(line.slave, 1);
            termios before{};
            tcgetattr(0, &before);
            int flags_before = fcntl(caller_copy, F_GETFL);
            if (port_open(nullptr, 0, 'N') == PORT_OPEN_FAILED) _exit(2);
            if (serial.line_fd != 1 || key_waiting() != 0) _exit(3);
            if (write(line.master, "x", 1) != 1 || !settle(0, 1)) _exit(4);
            if (key_waiting() != 0) _exit(5);  // line bytes on stdin are not keys
            termios during{};
            tcgetattr(0, &during);
            if (during.c_lflag & (ICANON | ECHO)) _exit(6);
            port_close();
            termios after{};
            tcgetattr(caller_copy, &after);
            if (!same_attrs(after, before)) _exit(7);
            if (fcntl(caller_copy, F_GETFL) != flags_before) _exit(8);
            _exit(0);
        },
        [](pid_t) {});
    EXPECT_EQ(exit_code(status), 0);
}

TEST_F(SerialLine, CarrierModes) {
    ASSERT_NE(port_open(line.path.c_str(), 0, 'H'), PORT_OPEN_FAILED);
    // A pseudo-terminal has no modem status: it cannot report carrier, so it has it.
    int bits = 0;
    ASSERT_NE(ioctl(serial.line_fd, TIOCMGET, &bits), 0);
    serial.carrier_mode = 1;
    EXPECT_EQ(carrier_present(), 1);

    serial.carrier_mode = 0;
    no_hangup_flag = 0;
    EXPECT_EQ(carrier_present(), 1);  // -c: never lost

    serial.carrier_mode = 2;
    EXPECT_EQ(carrier_present(), 0);
    no_hangup_flag = 1;
    EXPECT_EQ(carrier_present(), 1);
}

TEST(Clock, UpdateReadsTheTimeSeamOnly) {
    state_reset<reset_up_to_serial> reset;
    use_fake_clock(123456);
    fake_clock.second = 123457;
    EXPECT_EQ(serial.clock, 123456);
    clock_update();
    EXPECT_EQ(serial.clock, 123457);
}

// A full line: the bounded goodbye write gives up and counts only what was taken.
TEST_F(SerialLine, WriteAllOnAFullLineCountsOnlyBytesTaken) {
    ASSERT_NE(port_open(line.path.c_str(), 0, 'H'), PORT_OPEN_FAILED);
    use_fake_clock(1000, 1);  // a second passes at every reading
    static uint8_t block[1 << 20];
    memset(block, 'a', sizeof block);
    int taken = port_write_all(block, sizeof block, 2);
    ASSERT_GT(taken, 0);
    ASSERT_LT(taken, static_cast<int>(sizeof block));

    // Everything counted arrives, and nothing more: a marker written after our bytes
    // ends the count.
    std::string arrived;
    EXPECT_TRUE(read_to_marker(line, arrived));
    EXPECT_EQ(static_cast<long>(arrived.size()), taken);
}

// A lock file naming no process may be one a starting Kestro has not yet written its
// number into: refused with its path while new or while another holds the port's flock.
TEST_F(SerialLine, LockFileWithoutANumberIsStaleOnlyWhenOldAndThePortIsFree) {
    scratch_dir dir;
    port_lock_files.directory = dir.root.c_str();
    char name[64], why[512] = "";
    lock_file_name(line.path.c_str(), name, sizeof name);
    std::string lock = dir.path(name);
    write_file(lock, "\x01garbage");
    EXPECT_EQ(port_lock(line.path.c_str(), line.slave, why, sizeof why), -1);
    EXPECT_NE(std::string(why).find("(" + lock + ")"), std::string::npos) << why;
    auto a_minute_ago = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1);
    std::filesystem::last_write_time(lock, a_minute_ago);
    int holder = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port_lock(line.path.c_str(), line.slave, why, sizeof why), -1);
    close(holder);
    EXPECT_EQ(port_lock(line.path.c_str(), line.slave, why, sizeof why), 0);
    EXPECT_EQ(std::stoi(read_file(lock)), getpid());
    port_unlock();
}

}  // namespace

// A console at end of file (stdin from /dev/null or a closed pipe) is no key: were it one,
// every cycle would return at once and the link would never be pumped again.
TEST(Console, EndOfFileIsNoKeyAndTheConsoleIsWatchedNoMore) {
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    reset_up_to_serial();
    serial.console_fd = keys[0];
    ASSERT_EQ(write(keys[1], "k", 1), 1);
    EXPECT_EQ(key_waiting(), 1);
    EXPECT_EQ(read_console_key(), 'k');
    EXPECT_EQ(key_waiting(), 0);  // open and empty: simply no key
    EXPECT_FALSE(serial.console_ended);
    close(keys[1]);
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_TRUE(serial.console_ended);
    wait_for_input();  // no longer woken by the console; the line alone (none here)
    close(keys[0]);

    serial = serial_state{};
    serial.console_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(serial.console_fd, 0);
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_TRUE(serial.console_ended);
    EXPECT_FALSE(serial.console_lost);  // never a terminal: the run goes on
    close(serial.console_fd);
    pty_pair console = open_pty();  // a terminal at the start that hangs up is lost
    serial = serial_state{};
    serial.console_fd = console.slave;
    serial.console_terminal = true;
    close(std::exchange(console.master, -1));
    EXPECT_EQ(key_waiting(), 0);
    EXPECT_TRUE(serial.console_lost);
    close_pty(console);
    reset_up_to_serial();
}
