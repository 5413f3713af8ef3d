// The plain rules behind the display: layout, fills, figures, names, the chat filter, wrap.
#include <gtest/gtest.h>

#include <string>

#include "ui/screen.h"
#include "ui/text.h"

namespace {

std::string filtered(const std::string& input) {
    int filter = 0;
    std::string shown;
    for (unsigned char byte : input) {
        int out = chat_filter(&filter, byte);
        if (out >= 0) shown += static_cast<char>(out);
    }
    return shown;
}

std::string number(int32_t value) {
    char text[16];
    format_number(text, sizeof text, value);
    return text;
}

std::string file_name(const char* path) {
    char text[FILE_NAME_WIDTH + 1];
    format_file_name(text, sizeof text, path);
    return text;
}

// The pieces a line of 100 characters is cut into, as lengths.
std::vector<int> pieces(const std::string& line) {
    std::vector<int> lengths;
    const auto* bytes = reinterpret_cast<const uint8_t*>(line.data());
    int position = 0;
    int length = static_cast<int>(line.size());
    while (position < length) {
        int piece = wrap_piece(bytes + position, length - position);
        lengths.push_back(piece);
        position += piece;
        if (position < length && bytes[position] == ' ') ++position;
    }
    return lengths;
}

std::string line_with_blanks(std::initializer_list<int> blanks) {
    std::string line(100, 'x');
    for (int at : blanks) line[at] = ' ';
    return line;
}

}  // namespace

TEST(ChatFilter, ColourSequenceIsRemovedAndTextKept) {
    EXPECT_EQ(filtered("\x1b[1;31mHi"), "Hi");
    EXPECT_EQ(filtered("a\x1b[0mb\x1b[1;33mc"), "abc");
}

TEST(ChatFilter, CarriageReturnDroppedLineFeedKept) {
    EXPECT_EQ(filtered("one\r\ntwo"), "one\ntwo");
}

TEST(ChatFilter, SixCodePageLettersTranslatedOthersPass) {
    EXPECT_EQ(filtered("\x84\x86\x8e\x8f\x94\x99"), "\xe4\xe5\xc4\xc5\xf6\xd6");
    EXPECT_EQ(filtered("\x81\x85\xe4\x7f"), "\x81\x85\xe4\x7f");
}

TEST(ChatFilter, FilterStateCarriesAcrossCalls) {
    int filter = 0;
    EXPECT_EQ(chat_filter(&filter, 27), -1);
    EXPECT_EQ(chat_filter(&filter, 'H'), -1);  // still inside the sequence
    EXPECT_EQ(chat_filter(&filter, 'm'), -1);
    EXPECT_EQ(chat_filter(&filter, 'm'), 'm');  // the sequence is over
}

TEST(FormatNumber, LeftAlignedInTenCharacters) {
    EXPECT_EQ(number(1234), "1234      ");
    EXPECT_EQ(number(-5), "-5        ");
    EXPECT_EQ(number(-2147483647 - 1), "-2147483648");  // longer than 10: written whole
    EXPECT_EQ(number(0), "0         ");
}

TEST(FormatFileName, CutPaddedAndLastComponentOnly) {
    EXPECT_EQ(file_name("abcdefghijklmnopqrst"), "abcdefghijklmno");
    EXPECT_EQ(file_name("/home/user/a.zip"), "a.zip          ");
    EXPECT_EQ(file_name("in/deep/b"), "b              ");
    EXPECT_EQ(file_name(nullptr), "-              ");
}

TEST(FormatFileName, NameLongerThanAPathPartStillShowsItsStart) {
    std::string path = "dir/" + std::string(3000, 'n');
    EXPECT_EQ(file_name(path.c_str()), std::string(15, 'n'));
}

TEST(PromptBar, ThreeModesOnEightyColumns) {
    char bar[256];
    format_bar(bar, sizeof bar, 0, 0, 0, 80);
    EXPECT_EQ(std::string(bar),
              "---[ Chat prompt ]---[ Autoexit: No  ]--[ Beeper: Yes ]-" + std::string(24, '-'));
    format_bar(bar, sizeof bar, 0, 1, 1, 80);
    EXPECT_EQ(std::string(bar),
              "---[ Chat prompt ]---[ Autoexit: Yes ]--[ Beeper: No  ]-" + std::string(24, '-'));
    format_bar(bar, sizeof bar, 1, 0, 0, 80);
    EXPECT_EQ(std::string(bar), "---[ Enter files to upload ]--" + std::string(50, '-'));
    format_bar(bar, sizeof bar, 2, 0, 0, 80);
    EXPECT_EQ(std::string(bar), "---[ Enter files to download ]--" + std::string(48, '-'));
}

TEST(WrapPiece, BlanksAtTwentyAndSixty) { EXPECT_EQ(pieces(line_with_blanks({20, 60})), (std::vector<int>{60, 39})); }

TEST(WrapPiece, NoBlankCutsAtEighty) { EXPECT_EQ(pieces(line_with_blanks({})), (std::vector<int>{80, 20})); }

TEST(WrapPiece, BlankBeforeSearchRangeIsIgnored) {
    EXPECT_EQ(pieces(line_with_blanks({30})), (std::vector<int>{80, 20}));
    EXPECT_EQ(pieces(line_with_blanks({39})), (std::vector<int>{39, 60}));
}

TEST(WrapPiece, BlankRightAfterEightyKeepsEightyAndIsSkipped) {
    EXPECT_EQ(pieces(line_with_blanks({80})), (std::vector<int>{80, 19}));
    EXPECT_EQ(pieces(std::string(80, 'y')), (std::vector<int>{80}));
}

TEST(ControlByte, HighBytesAreOrdinaryAndFirstByteCounts) {
    const uint8_t tab_second[] = {'a', 9, 'b'};
    const uint8_t tab_first[] = {9, 'a'};
    const uint8_t high[] = {'a', 0x84, 0xff, 0x80};
    EXPECT_EQ(has_control_byte(tab_second, 3), 1);
    EXPECT_EQ(has_control_byte(tab_first, 2), 1);
    EXPECT_EQ(has_control_byte(high, 4), 0);
}

TEST(Layout, EveryWindowFitsAndKeepsARowOnTinyScreens) {
    for (int lines = 0; lines <= 20; ++lines) {
        screen_layout l = compute_layout(lines, 10);
        SCOPED_TRACE(lines);
        EXPECT_GE(l.status_rows, 1);
        EXPECT_GE(l.chat_rows, 1);
        EXPECT_GE(l.prompt_rows, 1);
        EXPECT_LE(l.status_rows, l.lines);
        EXPECT_GE(l.chat_top, 0);
        EXPECT_LE(l.chat_top + l.chat_rows, l.lines);
        EXPECT_EQ(l.prompt_top + l.prompt_rows, l.lines);
        if (lines >= 4) {
            EXPECT_LE(l.status_rows, l.chat_top);  // no overlap when there is room
        }
    }
}
