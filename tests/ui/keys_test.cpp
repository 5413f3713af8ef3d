// Keys: control letters on channel 0, the input modes, Enter in each mode, editing.
#include "ui/keys.h"

#include <string>

#include "files/lists.h"
#include "ui_fixture.h"

namespace {

struct KeysTest : ui_fixture {
    void SetUp() override {
        reset_state();
        alloc_link_channels();
        process.device_mode = true;
        chat.peer_lines = 25;
    }
    static std::string control_channel() {
        link_channel* rec = channels.send_channels[0];
        std::string bytes(static_cast<size_t>(rec->queued), '\0');
        uint8_t* pos = rec->read_pos;
        ring_copy_out(rec, pos, reinterpret_cast<uint8_t*>(bytes.data()), rec->queued);
        return bytes;
    }
    static void type(const std::string& text) {
        for (unsigned char c : text) handle_key_code(c);
    }
    static std::string field() {
        char text[CHAT_LINE_SIZE + 1];
        input_text(text, sizeof text);
        trim_trailing_blanks(text);
        return text;
    }
};

}  // namespace

TEST_F(KeysTest, BeeperKeyTwiceWritesQThenLowerQAndFlipsTheBar) {
    open_screen(25, 80);
    handle_key_code(14);
    EXPECT_EQ(screen.beeper_off, 1);
    EXPECT_EQ(row_text(screen.prompt_win, 0).substr(40, 15), "[ Beeper: No  ]");
    handle_key_code(14);
    EXPECT_EQ(screen.beeper_off, 0);
    EXPECT_EQ(row_text(screen.prompt_win, 0).substr(40, 15), "[ Beeper: Yes ]");
    EXPECT_EQ(control_channel(), "Qq");
}

TEST_F(KeysTest, YellWritesYAndAFullChannelDropsTheLetter) {
    handle_key_code(25);
    EXPECT_EQ(control_channel(), "Y");
    const uint8_t filler[256] = {};
    send_write(0, filler, send_room(0));
    handle_key_code(25);
    EXPECT_EQ(send_queued(0), 256);
}

TEST_F(KeysTest, ModesSwitchDiscardTypedTextAndEnterOnEmptyReturnsToChat) {
    open_screen(25, 80);
    type("abc");
    EXPECT_EQ(field(), "abc");
    EXPECT_EQ(row_trimmed(screen.prompt_win, 1), "abc");
    handle_key_code(21);
    EXPECT_EQ(screen.input_mode, 1);
    EXPECT_EQ(field(), "");
    type("x");
    handle_key_code(4);
    EXPECT_EQ(screen.input_mode, 2);
    EXPECT_EQ(field(), "");
    EXPECT_EQ(row_text(screen.prompt_win, 0).substr(0, 32), "---[ Enter files to download ]--");
    handle_key_code(10);
    EXPECT_EQ(screen.input_mode, 0);
    EXPECT_EQ(files.request_queue.head, nullptr);
    EXPECT_EQ(row_text(screen.prompt_win, 0).substr(0, 18), "---[ Chat prompt ]");
}

TEST_F(KeysTest, EnterInNameModesAddsEveryWord) {
    open_screen(25, 80);
    handle_key_code(4);
    type("first.zip  second.zip   ");
    handle_key_code(13);
    EXPECT_EQ(screen.input_mode, 0);
    ASSERT_NE(files.request_queue.head, nullptr);
    EXPECT_STREQ(files.request_queue.head->name, "first.zip");
    ASSERT_NE(files.request_queue.head->next, nullptr);
    EXPECT_STREQ(files.request_queue.head->next->name, "second.zip");
}

TEST_F(KeysTest, EnterInChatSendsTrimmedLineInCyanAndEmptiesTheField) {
    open_screen(25, 80);
    type("hi there   ");
    handle_key_code(10);
    link_channel* rec = channels.send_channels[8];
    EXPECT_EQ(rec->queued, 9);  // "hi there" and CR: the trailing blanks are gone
    EXPECT_EQ(field(), "");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "hi there");
    EXPECT_EQ(pair_at(screen.chat_win, 1, 0), PAIR_LABEL);
    chat_out('z');  // received text is drawn in the default pair again
    EXPECT_EQ(pair_at(screen.chat_win, 2, 0), PAIR_TEXT);
}

TEST_F(KeysTest, EditingKeysDeleteAndMove) {
    open_screen(25, 80);
    type("abcd");
    handle_key_code(127);
    handle_key_code(KEY_LEFT);
    handle_key_code(KEY_LEFT);
    handle_key_code('X');  // inserted before b
    handle_key_code(KEY_RIGHT);
    handle_key_code(8);  // deletes the b
    EXPECT_EQ(field(), "aXc");
}

TEST_F(KeysTest, ExitKeyEndsWithZeroWhateverIsOutstanding) {
    process.exit_status = 3;
    EXPECT_EQ(end_code([] { handle_key_code(24); }), 0);
}

TEST(TrimTrailingBlanks, EndsOnly) {
    char a[] = "  two words  ";
    trim_trailing_blanks(a);
    EXPECT_STREQ(a, "  two words");
    char b[] = "   ";
    trim_trailing_blanks(b);
    EXPECT_STREQ(b, "");
    char c[] = "";
    trim_trailing_blanks(c);
    EXPECT_STREQ(c, "");
}

// In the C locale a byte of a UTF-8 terminal is no character: wget_wch held it and took the
// keys after it along. The byte types nothing; the keys after it still count.
TEST_F(KeysTest, ByteOfNoCharacterSwallowsNoKey) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "x\xc3\xa9y", 4), 4);
    open_screen(25, 80, fdopen(ends[0], "r"));
    meta(stdscr, TRUE);  // all 8 bits, as from a terminal (a pipe has no CS8 to say so)
    for (int key = read_key(), turns = 0; key != ERR && turns < 10; key = read_key(), ++turns)
        handle_key_code(key);
    EXPECT_EQ(field(), "xy");
    close(ends[1]);
}
