// The painter on a real curses screen: layout, labels, figures, file lines, chat output.
#include <cstdlib>
#include <cstring>

#include "session/display.h"
#include "session/receive.h"
#include "session/send.h"
#include "ui_fixture.h"

namespace {

struct ScreenTest : ui_fixture {
    void SetUp() override {
        reset_state();
        process.device_mode = true;
    }
    void chat_bytes(const std::string& bytes) {
        for (unsigned char byte : bytes) chat_out(byte);
    }
};

}  // namespace

// The texts themselves are checked in a real terminal (tests/e2e/screen_layout.sh).
TEST_F(ScreenTest, WindowsAndPairsOnEightyByTwentyFive) {
    open_screen(25, 80);
    EXPECT_EQ(pair_at(screen.status_win, 0, 79), PAIR_BAR);
    EXPECT_EQ(pair_at(screen.status_win, 8, 48), PAIR_LABEL);
    EXPECT_EQ(pair_at(screen.chat_win, 0, 0), PAIR_TAG);
    EXPECT_EQ(getbegy(screen.chat_win), 12);
    EXPECT_EQ(getmaxy(screen.chat_win), 12);
    EXPECT_EQ(getbegy(screen.prompt_win), 23);
}

TEST_F(ScreenTest, FiguresAreTenWideAndLongOnesWhole) {
    open_screen(25, 80);
    show_number(3, 16, 999999999);
    show_number(3, 16, 1234);  // a shorter figure leaves no digit of the longer one behind
    EXPECT_EQ(row_text(screen.status_win, 3).substr(16, 10), "1234      ");
    show_number(10, 68, -5);
    EXPECT_EQ(row_text(screen.status_win, 10).substr(68, 12), "-5          ");
    show_number(4, 68, -2147483647);
    EXPECT_EQ(row_text(screen.status_win, 4).substr(68, 11), "-2147483647");
    EXPECT_EQ(pair_at(screen.status_win, 4, 68), PAIR_TEXT);
}

TEST_F(ScreenTest, CurrentFileLines) {
    open_screen(25, 80);
    EXPECT_EQ(row_text(screen.status_win, 2).substr(16, 32), "-               -               ");
    queue_append(&sending.in_transit_queue, new_entry("/one/two/twenty_characters_.zip"));
    show_upload_name();
    EXPECT_EQ(row_text(screen.status_win, 2).substr(32, 15), "twenty_characte");
    receiving.stream.current = new_entry("down/a.txt");
    show_download_name();  // no files left: the entry is not shown
    EXPECT_EQ(row_text(screen.status_win, 2).substr(16, 15), "-              ");
    receiving.stream.figures.files_left = 1;
    show_download_name();
    EXPECT_EQ(row_text(screen.status_win, 2).substr(16, 15), "a.txt          ");
}

TEST_F(ScreenTest, ChatOutputFiltersAndMovesToNextLineOnce) {
    open_screen(25, 80);
    chat_bytes("\x1b[1;31mHi\r\nthere");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "Hi");
    EXPECT_EQ(row_trimmed(screen.chat_win, 2), "there");
    EXPECT_EQ(row_trimmed(screen.chat_win, 3), "");
}

TEST_F(ScreenTest, ChatScrollsBelowTheHeading) {
    open_screen(25, 80);
    for (int i = 0; i < 30; ++i) chat_bytes("line " + std::to_string(i) + "\n");
    EXPECT_EQ(row_text(screen.chat_win, 0).substr(0, 18), "---[ Chat window ]");
    // The cursor sits on the last row, under the bar; the newest line is just above it.
    EXPECT_EQ(row_trimmed(screen.chat_win, 10), "line 29");
    EXPECT_EQ(row_trimmed(screen.chat_win, 1), "line 20");
}

TEST_F(ScreenTest, BelowTheSmallestSizeOneLineSaysSoAndNothingBreaks) {
    const int sizes[][2] = {{14, 55}, {11, 80}, {12, 39}, {5, 20}, {1, 1}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
        open_screen(size[0], size[1]);
        bool usable = size[0] >= screen_min_lines && size[1] >= screen_min_columns;
        EXPECT_EQ(screen_too_small(), !usable);
        for (WINDOW* w : {screen.status_win, screen.chat_win, screen.prompt_win}) {
            EXPECT_EQ(w != nullptr, usable);
            if (w != nullptr) {
                EXPECT_LE(getbegy(w) + getmaxy(w), size[0]);
            }
        }
        if (usable) {  // the bar in the form that fits, whole
            EXPECT_EQ(row_text(screen.prompt_win, 0),
                      "---[ Chat ]--[ Autoexit: No  ]--[ Beeper: Yes ]--------");
        } else {
            EXPECT_EQ(row_text(stdscr, 0).substr(0, 1), "T");
        }
        show_number(10, 68, 1234);
        show_upload_name();
        for (int i = 0; i < 200; ++i) chat_out(i % 50 == 49 ? '\n' : 'x');
        draw_prompt_bar();
        redraw_screen();
        close_screen();
    }
}

TEST(ScreenDoorMode, NothingIsDrawnWithoutADevice) {
    reset_all_state();
    screen_setup();  // would take over the terminal if it drew anything
    EXPECT_FALSE(process.screen_active);
    EXPECT_EQ(stdscr, nullptr);
    show_number(3, 16, 1);
    show_file_name(UPLOAD_COLUMN, "x");
    show_upload_name();
    show_download_name();
    chat_out('x');
    draw_prompt_bar();
    sound_bell();
    EXPECT_EQ(screen.status_win, nullptr);
    EXPECT_EQ(stdscr, nullptr);
}
