// The telnet layer on literal bytes: our offers and the answers to a client, commands taken
// out of what is read (split across reads too), IAC IAC, CR NUL; then the port on a handed
// socket, whose end is the carrier's loss.
#include "serial/telnet.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "serial/port.h"
#include "serial/process.h"
#include "support/state.h"

namespace {

using bytes = std::vector<uint8_t>;
const bytes offers{0xFF, 0xFB, 1, 0xFF, 0xFB, 3, 0xFF, 0xFB, 0, 0xFF, 0xFD, 0};

bytes in(bytes read) {  // what the filter leaves of one read
    read.resize(telnet_input(read.data(), static_cast<int>(read.size())));
    return read;
}
bytes answers() {
    uint8_t out[TELNET_ANSWER_ROOM];
    return bytes(out, out + telnet_take_answers(out, sizeof out));
}
bytes out(const bytes& data) {
    uint8_t wire[64];
    int used = 0;
    return bytes(wire, wire + telnet_output(data.data(), static_cast<int>(data.size()), wire,
                                            sizeof wire, &used));
}

class Telnet : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_serial();
        telnet_start();
    }
    void TearDown() override { reset_up_to_serial(); }
    // The client takes our offers (DO ECHO, DO SGA, DO BINARY, WILL BINARY), as -8 does.
    static void client_agrees() {
        EXPECT_EQ(answers(), offers);
        EXPECT_EQ(in({0xFF, 0xFD, 1, 0xFF, 0xFD, 3, 0xFF, 0xFD, 0, 0xFF, 0xFB, 0}), bytes{});
        EXPECT_EQ(answers(), bytes{});  // answers to our offers get no answer back
    }
};

TEST_F(Telnet, OtherOptionsAreRefusedOnceAndSplitCommandsLeaveOnlyData) {
    client_agrees();
    // DO TERMINAL-TYPE split over three reads, WILL NAWS, DO ECHO again (on already).
    EXPECT_EQ(in({'a', 0xFF}), bytes{'a'});
    EXPECT_EQ(in({0xFD}), bytes{});
    EXPECT_EQ(in({24, 'b', 0xFF, 0xFB, 31, 0xFF, 0xFD, 1}), bytes{'b'});
    // A subnegotiation split, with IAC IAC inside it; then IAC SE and a NOP.
    EXPECT_EQ(in({0xFF, 0xFA, 24, 0, 'x', 0xFF}), bytes{});
    EXPECT_EQ(in({0xFF, 'y', 0xFF}), bytes{});
    EXPECT_EQ(in({0xF0, 'c', 0xFF, 0xF1, 'd'}), (bytes{'c', 'd'}));
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFC, 24, 0xFF, 0xFE, 31}));
    EXPECT_EQ(in({0xFF, 0xFE, 1, 0xFF, 0xFE, 1}), bytes{});  // DONT ECHO twice: one WONT
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFC, 1}));
}

TEST_F(Telnet, IacIacIsOneByteAndCrNulIsCrOnlyOutsideBinaryMode) {
    EXPECT_EQ(in({0x0D, 0x00, 0x0D}), (bytes{0x0D, 0x0D}));  // not agreed yet: NVT
    EXPECT_EQ(in({0x00, 0x0A}), bytes{0x0A});
    EXPECT_EQ(out({0x0D, 0xFF}), (bytes{0x0D, 0x00, 0xFF, 0xFF}));
    client_agrees();
    EXPECT_EQ(in({0x0D, 0x00, 0xFF, 0xFF, 0x7B}), (bytes{0x0D, 0x00, 0xFF, 0x7B}));
    EXPECT_EQ(out({0x0D, 0x00, 0xFF}), (bytes{0x0D, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(in({0xFF, 0xFC, 0}), bytes{});  // WONT BINARY: answered, and reported
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFE, 0}));
    EXPECT_EQ(telnet_binary_refused(), 1);
    EXPECT_EQ(in({0x0D, 0x00, 0x80}), (bytes{0x0D, 0x80}));
    int used = 0;  // a doubled byte that does not fit waits whole
    uint8_t wire[2];
    EXPECT_EQ(telnet_output(bytes{'a', 0xFF}.data(), 2, wire, 2, &used), 1);
    EXPECT_EQ(used, 1);
}

TEST_F(Telnet, PortOnAHandedSocketSendsOffersFirstAndItsEndIsCarrierLoss) {
    reset_up_to_serial();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    set_door_line(sv[0]);
    port_use_telnet();
    ASSERT_NE(port_open(nullptr, 0, 'H'), PORT_OPEN_FAILED);
    ASSERT_EQ(port_write(bytes{'{', 0xFF}.data(), 2), 2);
    bytes expected = offers;
    expected.insert(expected.end(), {'{', 0xFF, 0xFF});
    uint8_t got[64];
    ASSERT_EQ(read(sv[1], got, sizeof got), static_cast<ssize_t>(expected.size()));
    EXPECT_EQ(bytes(got, got + expected.size()), expected);
    ASSERT_EQ(write(sv[1], bytes{0xFF, 0xFD, 24, 'o'}.data(), 4), 4);
    EXPECT_EQ(port_read(got, sizeof got), 1);
    ASSERT_EQ(read(sv[1], got, sizeof got), 3);  // the refusal goes out at once
    EXPECT_EQ(bytes(got, got + 3), (bytes{0xFF, 0xFC, 24}));
    close(sv[1]);
    EXPECT_EQ(port_read(got, sizeof got), 0);
    EXPECT_TRUE(serial.line_gone);
    port_close();
}

}  // namespace
