// The telnet layer on literal bytes: our offers and the answers to a client's requests,
// commands taken out of what is read (also when split across reads), IAC IAC, CR NUL, and
// the same through the port on a socket handed as a door's descriptor.
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

class Telnet : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_serial();
        telnet_start();
    }
    void TearDown() override { reset_up_to_serial(); }

    // What the filter leaves of one read.
    static bytes in(bytes read) {
        read.resize(telnet_input(read.data(), static_cast<int>(read.size())));
        return read;
    }
    static bytes answers() {
        uint8_t out[TELNET_ANSWER_ROOM];
        return bytes(out, out + telnet_take_answers(out, sizeof out));
    }
    static bytes out(const bytes& data) {
        uint8_t wire[64];
        int used = 0;
        int n = telnet_output(data.data(), static_cast<int>(data.size()), wire, sizeof wire, &used);
        EXPECT_EQ(used, static_cast<int>(data.size()));
        return bytes(wire, wire + n);
    }
    // The client takes our offers, as the inetutils client with -8 does.
    static void client_agrees() {
        answers();
        EXPECT_EQ(in({0xFF, 0xFD, 1, 0xFF, 0xFD, 3, 0xFF, 0xFD, 0, 0xFF, 0xFB, 0}), bytes{});
    }
};

TEST_F(Telnet, OffersGoFirstAndAnswersToThemAreNotAnswered) {
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFB, 1, 0xFF, 0xFB, 3, 0xFF, 0xFB, 0, 0xFF, 0xFD, 0}));
    client_agrees();
    EXPECT_EQ(answers(), bytes{});
    EXPECT_EQ(telnet_binary_refused(), 0);
}

TEST_F(Telnet, EveryOtherOptionIsRefusedAndARequestRepeatedIsNotAnsweredTwice) {
    client_agrees();
    // DO TERMINAL-TYPE, WILL NAWS, DO LFLOW; then DO ECHO again (already on).
    EXPECT_EQ(in({0xFF, 0xFD, 24, 0xFF, 0xFB, 31, 0xFF, 0xFD, 33, 0xFF, 0xFD, 1}), bytes{});
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFC, 24, 0xFF, 0xFE, 31, 0xFF, 0xFC, 33}));
    // A client that turns our echo off later is answered once.
    EXPECT_EQ(in({0xFF, 0xFE, 1, 0xFF, 0xFE, 1}), bytes{});
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFC, 1}));
}

TEST_F(Telnet, CommandsAndSubnegotiationsSplitAcrossReadsLeaveOnlyTheData) {
    client_agrees();
    EXPECT_EQ(in({'a', 0xFF}), bytes{'a'});
    EXPECT_EQ(in({0xFD}), bytes{});
    EXPECT_EQ(in({24, 'b', 0xFF, 0xFA, 24, 0, 'x', 0xFF}), bytes{'b'});
    EXPECT_EQ(in({0xFF, 'y', 0xFF}), bytes{});  // IAC IAC inside the subnegotiation is its data
    EXPECT_EQ(in({0xF0, 'c', 0xFF, 0xF1, 'd'}), (bytes{'c', 'd'}));  // IAC SE, then a NOP
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFC, 24}));
}

TEST_F(Telnet, IacIacIsOneDataByteBothWays) {
    client_agrees();
    EXPECT_EQ(in({0x01, 0xFF, 0xFF, 0x02}), (bytes{0x01, 0xFF, 0x02}));
    EXPECT_EQ(in({0xFF}), bytes{});
    EXPECT_EQ(in({0xFF, 0x7B}), (bytes{0xFF, 0x7B}));
    EXPECT_EQ(out({0xFF, 0x0D, 0x00, 0xFF}), (bytes{0xFF, 0xFF, 0x0D, 0x00, 0xFF, 0xFF}));
}

TEST_F(Telnet, CrNulIsCrOutsideBinaryModeOnlyAndADoubledByteIsNeverCut) {
    // Before the client agreed to binary, and after it refused: CR NUL both ways.
    EXPECT_EQ(in({0x0D}), bytes{0x0D});
    EXPECT_EQ(in({0x00, 0x0D, 0x0A}), (bytes{0x0D, 0x0A}));
    EXPECT_EQ(out({0x0D, 'a'}), (bytes{0x0D, 0x00, 'a'}));
    client_agrees();
    EXPECT_EQ(in({0x0D, 0x00}), (bytes{0x0D, 0x00}));
    EXPECT_EQ(out({0x0D, 0x00}), (bytes{0x0D, 0x00}));
    EXPECT_EQ(in({0xFF, 0xFC, 0}), bytes{});  // WONT BINARY
    EXPECT_EQ(answers(), (bytes{0xFF, 0xFE, 0}));
    EXPECT_EQ(telnet_binary_refused(), 1);
    EXPECT_EQ(in({0x0D, 0x00, 0x80}), (bytes{0x0D, 0x80}));

    const uint8_t two[] = {'a', 0xFF};
    uint8_t wire[2];
    int used = 0;
    EXPECT_EQ(telnet_output(two, 2, wire, 2, &used), 1);
    EXPECT_EQ(used, 1);
}

// Through the port: a socket handed over as --fd's descriptor, the other side the client.
TEST_F(Telnet, PortOnAHandedSocketSendsOffersThenDoubledDataAndReadsThroughCommands) {
    reset_up_to_serial();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    set_door_line(sv[0]);
    port_use_telnet();
    ASSERT_NE(port_open(nullptr, 0, 'H'), PORT_OPEN_FAILED);
    const uint8_t data[] = {'{', 0xFF, '}'};
    ASSERT_EQ(port_write(data, 3), 3);
    uint8_t got[64];
    const bytes expected{0xFF, 0xFB, 1,    0xFF, 0xFB, 3,    0xFF, 0xFB,
                         0,    0xFF, 0xFD, 0,    '{',  0xFF, 0xFF, '}'};
    ASSERT_EQ(read(sv[1], got, sizeof got), static_cast<ssize_t>(expected.size()));
    EXPECT_EQ(bytes(got, got + expected.size()), expected);

    const uint8_t client[] = {0xFF, 0xFD, 24, 'o', 'k'};
    ASSERT_EQ(write(sv[1], client, sizeof client), 5);
    EXPECT_EQ(port_read(got, sizeof got), 2);
    EXPECT_EQ(got[0], 'o');
    ASSERT_EQ(read(sv[1], got, sizeof got), 3);  // WONT TERMINAL-TYPE, written at once
    EXPECT_EQ(bytes(got, got + 3), (bytes{0xFF, 0xFC, 24}));

    close(sv[1]);  // the caller hangs up: carrier gone
    EXPECT_EQ(port_read(got, sizeof got), 0);
    EXPECT_TRUE(serial.line_gone);
    port_close();
}

}  // namespace
