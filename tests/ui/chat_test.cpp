// Chat over channels 8 to 15: the room test, the channel choice, receiving in both modes,
// word wrap as shown in the window, information and help lines.
#include <string>

#include "link/codec.h"
#include "link/delivery.h"
#include "ui_fixture.h"

namespace {

struct ChatTest : ui_fixture {
    void SetUp() override {
        reset_state();
        alloc_link_channels();
        process.device_mode = true;
        screen.beeper_off = 1;  // a refused line must not ring the test's terminal
        chat.peer_lines = 25;
    }

    // What a send channel holds, sent or not.
    static std::string held(int channel) {
        link_channel* rec = channels.send_channels[channel];
        std::string bytes(static_cast<size_t>(rec->queued), '\0');
        uint8_t* pos = rec->read_pos;
        ring_copy_out(rec, pos, reinterpret_cast<uint8_t*>(bytes.data()), rec->queued);
        return bytes;
    }

    // The peer's bytes arriving in a receive channel, as the link stores them.
    static void arrives(int channel, const std::string& bytes) {
        link_channel* rec = channels.recv_channels[channel];
        int n = static_cast<int>(bytes.size());
        ring_copy_in(rec, rec->write_pos, reinterpret_cast<const uint8_t*>(bytes.data()), n);
        rec->room -= n;
        rec->queued += n;
    }

    static void send(const std::string& line) {
        char text[CHAT_LINE_SIZE + 1];
        snprintf(text, sizeof text, "%s", line.c_str());
        send_chat_line(text);
        EXPECT_STREQ(text, "");
    }

    // Whatever is queued goes out in frames (no acknowledgement comes back).
    static void frame_everything() {
        while (build_frame() != nullptr) {
        }
    }
};

}  // namespace

TEST_F(ChatTest, FirstLineGoesToChannelEightWithItsCarriageReturn) {
    send("hello");
    EXPECT_EQ(held(8), "hello\r");
    EXPECT_EQ(chat.chat_tx_channel, 8);
}

TEST_F(ChatTest, SecondLineJoinsFirstWhileItIsUnframed) {
    send("one");
    send("two");
    EXPECT_EQ(held(8), "one\rtwo\r");
    EXPECT_EQ(send_queued(9), 0);
}

TEST_F(ChatTest, SecondLineAfterTheFirstWentOutStartsChannelNine) {
    send("one");
    frame_everything();
    ASSERT_GT(channels.send_channels[8]->in_flight, 0);
    send("two");
    EXPECT_EQ(held(8), "one\r");
    EXPECT_EQ(held(9), "two\r");
}

TEST_F(ChatTest, LineNeedingABusyChannelIsRefusedWhole) {
    for (int line = 0; line < 7; ++line) {  // channels 8 to 14 each wait for an acknowledgement
        send("l");
        frame_everything();
    }
    ASSERT_EQ(chat.chat_tx_channel, 14);
    send(std::string(300, 'b'));  // would need 15 and then 8, which is not idle
    EXPECT_EQ(send_queued(15), 0);
    EXPECT_EQ(chat.chat_tx_channel, 14);
    send(std::string(255, 'c'));  // exactly fills 15
    EXPECT_EQ(held(15), std::string(255, 'c') + "\r");
    EXPECT_EQ(chat.chat_tx_channel, 15);
}

TEST_F(ChatTest, ChatOffBeepsSendsNothingButNotesTheTime) {
    open_screen(25, 80);
    chat.peer_lines = -1;
    serial.clock = 5000;
    screen.beeper_off = 0;
    testing::internal::CaptureStderr();  // the bell goes there, not to the test's terminal
    send("hello");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\a");
    EXPECT_EQ(chat.last_chat_time, 5000);
    for (int channel = 8; channel <= 15; ++channel) EXPECT_EQ(send_queued(channel), 0);
}

TEST_F(ChatTest, EmptyLineSendsCarriageReturnAndShowsAnEmptyLine) {
    open_screen(25, 80);
    send("");
    EXPECT_EQ(held(8), "\r");
    send("after");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "");
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "after");
}

TEST_F(ChatTest, LineModeShowsAWholeLineOnlyAtItsEnd) {
    open_screen(25, 80);
    arrives(8, std::string("hello\r") + '\0');
    arrives(9, "x");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "hello");
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "");
    EXPECT_EQ(chat.chat_rx_channel, 9);
    arrives(9, "yz\r");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "xyz");
}

TEST_F(ChatTest, CharacterModeShowsBytesAsTheyCome) {
    chat.peer_lines = 0;
    open_screen(25, 80);
    arrives(8, "ab\rc");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "abc");
    arrives(8, "\nd");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "d");
}

TEST_F(ChatTest, ChatOffLeavesReceivedBytesUnread) {
    chat.peer_lines = -1;
    arrives(8, "abc\r");
    chat_receive();
    EXPECT_EQ(recv_queued(8), 4);
}

TEST_F(ChatTest, OverlongReceivedLineKeepsItsFirstBytes) {
    // Without a screen nothing is shown, but the line is gathered all the same.
    std::string part(500, 'p');
    for (int i = 0; i < 3; ++i) {  // three messages over three channels, 1,500 bytes in all
        arrives(8 + i, part + '\0');
        chat_receive();
    }
    EXPECT_EQ(chat.chat_line_length, CHAT_LINE_SIZE);
    arrives(11, "\r");
    chat_receive();
    EXPECT_EQ(chat.chat_line_length, 0);
}

TEST_F(ChatTest, ReceivedLinesWrapAtBlanks) {
    open_screen(25, 80);
    std::string line(100, 'x');
    line[20] = ' ';
    line[60] = ' ';
    arrives(8, line + "\r");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 1).size(), 60u);
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), std::string(39, 'x'));
}

// On a 200-column screen lines were cut at 80 columns, and a line of exactly the width
// left an empty row under it (the cursor had already gone on, then a line feed).
TEST_F(ChatTest, LinesWrapAtTheWindowsWidthAndAFullRowLeavesNoGap) {
    open_screen(25, 120);
    std::string words;
    while (words.size() < 150) words += "word ";
    arrives(8, words + "\r" + std::string(120, 'f') + "\rnext\r");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 1).size(), 119u);  // "word" x24, cut at a blank
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "word word word word word word");
    EXPECT_EQ(row_trimmed(screen.chat_win, 3), std::string(120, 'f'));
    EXPECT_EQ(row_trimmed(screen.chat_win, 4), "next");
    chat.peer_lines = 0;  // character mode: the peer's own line feed after a full row
    arrives(8, std::string(120, 'c') + "\nafter\n");
    chat_receive();
    EXPECT_EQ(row_trimmed(screen.chat_win, 5), std::string(120, 'c'));
    EXPECT_EQ(row_trimmed(screen.chat_win, 6), "after");
}

TEST_F(ChatTest, LineWithATabIsShownWhole) {
    open_screen(25, 80);
    std::string line = "a\t" + std::string(98, 'y');
    arrives(8, line + "\r");
    chat_receive();
    // Unwrapped: the tab widens it past the window's edge, so it runs on into the next row.
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "a       " + std::string(72, 'y'));
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), std::string(26, 'y'));
}

TEST_F(ChatTest, LocalLineIsEchoedInLineModeOnly) {
    open_screen(25, 80);
    send("seen here");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "seen here");
    chat.peer_lines = 0;
    send("not echoed");
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "");
}

TEST_F(ChatTest, InfoAndHelpLines) {
    open_screen(25, 80);
    show_info("Upload completed", "1 file(s) sent");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "<INFO> Upload completed (1 file(s) sent)");
    EXPECT_EQ(pair_at(screen.chat_win, 1, 0), PAIR_TAG);
    EXPECT_EQ(pair_at(screen.chat_win, 1, 7), PAIR_TEXT);
    show_help();
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "<HELP> Orvane Kestro driver V1.0 for Linux");
    EXPECT_EQ(row_trimmed(screen.chat_win, 3), "<HELP>");
    EXPECT_EQ(row_trimmed(screen.chat_win, 4),
              "<HELP> ^A -> Help        ^D -> Add to DL request      ^U -> Add to UL request");
    EXPECT_EQ(row_trimmed(screen.chat_win, 6), "<HELP> ^X -> Exit");
}
