// The plain rules behind the display: layout, fills, figures, names, the chat filter, wrap.
#include "ui/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "ui/glyphs.h"
#include "ui/screen.h"

namespace {

// Received bytes as the chat window gets them: filtered, decoded, C1 dropped.
std::u32string filtered(const std::string& input) {
    int filter = 0;
    utf8_decoder decoder;
    uint32_t codes[4];
    std::u32string shown;
    auto keep = [&](int n) {
        for (int i = 0; i < n; ++i)
            if (!is_c1(codes[i])) shown += static_cast<char32_t>(codes[i]);
    };
    for (unsigned char byte : input) {
        int out = chat_filter(&filter, byte);
        if (out >= 0) keep(utf8_feed(&decoder, static_cast<uint8_t>(out), true, codes));
    }
    keep(utf8_flush(&decoder, true, codes));
    return shown;
}

// Widths come from the locale's tables: the tests read them as a UTF-8 terminal would.
struct utf8_locale {
    utf8_locale() { setlocale(LC_CTYPE, "C.UTF-8"); }
    ~utf8_locale() { setlocale(LC_CTYPE, "C"); }
};

std::string number(int32_t value) {
    char text[16];
    format_number(text, sizeof text, value);
    return text;
}

std::string file_name(const char* path) {
    char text[FILE_NAME_WIDTH * 4 + 1];
    format_file_name(text, sizeof text, path);
    return text;
}

// The pieces a line is cut into, as lengths in characters.
std::vector<int> pieces(const std::string& line) {
    std::vector<int> lengths;
    std::vector<chat_char> chars(line.size() + 1);
    int length =
        decode_line(reinterpret_cast<const uint8_t*>(line.data()), static_cast<int>(line.size()),
                    chars.data(), static_cast<int>(chars.size()));
    int position = 0;
    while (position < length) {
        int piece = wrap_piece(chars.data() + position, length - position);
        lengths.push_back(piece);
        position += piece;
        if (position < length && chars[position].code == ' ') ++position;
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
    EXPECT_EQ(filtered("\x1b[1;31mHi"), U"Hi");
    EXPECT_EQ(filtered("a\x1b[0mb\x1b[1;33mc"), U"abc");
}

TEST(ChatFilter, CarriageReturnDroppedLineFeedKept) {
    EXPECT_EQ(filtered("one\r\ntwo"), U"one\ntwo");
}

// Received letters beyond ASCII showed as nothing: the bytes went to the narrow library.
TEST(ChatFilter, Utf8ShowsItsCharactersOtherBytesTheirLatin1Letters) {
    EXPECT_EQ(filtered("ünïcödé ✓ 🙂"), U"ünïcödé ✓ 🙂");
    EXPECT_EQ(filtered("\x84\x86\x8e\x8f\x94\x99"),
              U"\u00e4\u00e5\u00c4\u00c5\u00f6\u00d6");          // code page 437
    EXPECT_EQ(filtered("caf\xe9!"), U"caf\u00e9!");              // Latin-1
    EXPECT_EQ(filtered("\xc3(\xe2\x9c\n"), U"\u00c3(\u00e2\n");  // broken off: each byte alone
    EXPECT_EQ(filtered("\xc0\xaf\xed\xa0\x80"),
              U"\u00c0\u00af\u00ed\u00a0");                // overlong, surrogate
    EXPECT_EQ(filtered("\x81\x85\xc2\x9b\x7f"), U"\x7f");  // C1 controls, raw or encoded, dropped
}

// A sequence with no 'm' (ESC [ K) ends with its line, so the lines after it are shown.
TEST(ChatFilter, OpenSequenceEndsWithItsLine) {
    EXPECT_EQ(filtered("a\x1b[Kb\nnext\x1b[2J\rthird"), U"a\nnextthird");
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

TEST(FormatFileName, CutAtColumnsNeverInsideACharacter) {
    utf8_locale utf8;
    EXPECT_EQ(file_name("d/ünïcödé-long-name.txt"), "ünïcödé-long-na");  // 15 columns, 19 bytes
    EXPECT_EQ(file_name("漢字漢字漢字漢字"), "漢字漢字漢字漢 ");  // seven of two columns, a blank
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
    // -E with nothing accepted waited two minutes with no sign of it: the time it has left.
    format_bar(bar, sizeof bar, 0, 1, 0, 80, 118);
    EXPECT_EQ(std::string(bar),
              "---[ Chat prompt ]---[ Autoexit: 1:58 ]--[ Beeper: Yes ]-" + std::string(23, '-'));
    format_bar(bar, sizeof bar, 0, 1, 0, 50, 5);
    EXPECT_EQ(std::string(bar),
              "---[ Chat ]--[ Autoexit: 0:05 ]--[ Beeper: Yes ]-" + std::string(1, '-'));
}

TEST(WrapPiece, BlanksAtTwentyAndSixty) {
    EXPECT_EQ(pieces(line_with_blanks({20, 60})), (std::vector<int>{60, 39}));
}

TEST(WrapPiece, NoBlankCutsAtEighty) {
    EXPECT_EQ(pieces(line_with_blanks({})), (std::vector<int>{80, 20}));
}

TEST(WrapPiece, BlankBeforeSearchRangeIsIgnored) {
    EXPECT_EQ(pieces(line_with_blanks({30})), (std::vector<int>{80, 20}));
    EXPECT_EQ(pieces(line_with_blanks({39})), (std::vector<int>{39, 60}));
}

TEST(WrapPiece, ColumnsAreCountedAndNoCharacterIsSplit) {
    utf8_locale utf8;
    std::string umlauts;
    for (int i = 0; i < 100; ++i) umlauts += "\xc3\xbc";  // 200 bytes, 100 columns
    EXPECT_EQ(pieces(umlauts), (std::vector<int>{80, 20}));
    std::string wide;
    for (int i = 0; i < 50; ++i) wide += "\xe6\xbc\xa2";  // two columns each
    EXPECT_EQ(pieces(wide), (std::vector<int>{40, 10}));
    EXPECT_EQ(pieces("a" + wide), (std::vector<int>{40, 11}));  // 81 columns: the 41st does not fit
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

// After a resize the layout stayed the one of the size at start-up: cut labels, no bar.
// Every size from the smallest up has its own, in which each figure, label and name is
// whole or left out; from 78x16 up it is the layout of an 80x25 terminal.
TEST(Layout, EverySizeHasOneWithNothingCut) {
    const int label_width[] = {0, 0, 9, 11, 10, 11, 11, 10, 10, 11, 11, 10};  // longest of each row
    for (int lines = 12; lines <= 60; ++lines) {
        for (int columns = 40; columns <= 140; ++columns) {
            screen_layout l = compute_layout(lines, columns);
            SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(lines));
            ASSERT_FALSE(l.too_small);
            ASSERT_EQ(l.prompt_top + l.prompt_rows, lines);
            ASSERT_EQ(l.chat_top + l.chat_rows - 1, l.prompt_top);  // its last row under the bar
            ASSERT_LE(l.status_rows, l.chat_top);
            int y = 0, x = 0;
            for (int row = 1; row < STATUS_ROWS; ++row) {
                bool kept = place_in_status(l, row, LABEL_COLUMN, &y, &x);
                // Names go at 13 lines, the "Done, left" row at 15.
                ASSERT_EQ(kept, (row != FILE_NAME_ROW || lines >= 14) &&
                                    (row != DONE_LEFT_ROW || lines >= 16))
                    << row;
                if (!kept) continue;
                ASSERT_LT(y, l.status_rows);
                ASSERT_LT(x + label_width[row], l.download_column);
                ASSERT_TRUE(place_in_status(l, row, UPLOAD_COLUMN, &y, &x));
                int width = row == FILE_NAME_ROW   ? l.name_width
                            : row == DONE_LEFT_ROW ? DONE_LEFT_WIDTH
                                                   : NUMBER_WIDTH;
                ASSERT_LE(x + width, columns);
                ASSERT_LE(l.download_column + width, l.upload_column);
                ASSERT_LE(x + width, l.link_place == LINK_RIGHT ? LINK_LABEL_COLUMN : columns);
                if (place_in_status(l, row, LINK_COLUMN, &y, &x)) {
                    ASSERT_LT(y, l.status_rows);
                    ASSERT_LE(x + NUMBER_WIDTH, columns);
                }
            }
            ASSERT_EQ(place_in_status(l, 10, LINK_COLUMN, &y, &x), l.link_place != LINK_HIDDEN);
            if (columns >= 78 && lines >= 16) {
                screen_layout full = compute_layout(25, 80);
                for (int row = 0; row < STATUS_ROWS; ++row)
                    ASSERT_EQ(l.status_row[row], full.status_row[row]);
                ASSERT_EQ(l.upload_column, UPLOAD_COLUMN);
                ASSERT_EQ(l.link_column, LINK_COLUMN);
                ASSERT_EQ(l.chat_top, 12);
            }
        }
    }
    EXPECT_TRUE(compute_layout(11, 80).too_small);
    EXPECT_TRUE(compute_layout(25, 39).too_small);
    char bar[128];
    format_bar(bar, sizeof bar, 0, 0, 0, 50);  // the narrow forms of a bar keep their words whole
    EXPECT_EQ(std::string(bar), "---[ Chat ]--[ Autoexit: No  ]--[ Beeper: Yes ]---");
}
