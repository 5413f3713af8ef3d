// A real curses screen on /dev/null for the painter tests: the windows are built as in
// the program and read back cell by cell, no terminal needed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link/channels.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/plan.h"
#include "support/state.h"
#include "ui/chat.h"
#include "ui/screen.h"

struct ui_fixture : ::testing::Test {
    SCREEN* term = nullptr;
    FILE* out = nullptr;
    FILE* in = nullptr;

    static void reset_state() { reset_all_state(); }

    // Builds the display on a terminal of the given size; keys come from `keys` if given.
    void open_screen(int lines, int columns, FILE* keys = nullptr) {
        setenv("LINES", std::to_string(lines).c_str(), 1);
        setenv("COLUMNS", std::to_string(columns).c_str(), 1);
        out = fopen("/dev/null", "w");
        in = keys != nullptr ? keys : fopen("/dev/null", "r");
        term = newterm("xterm", out, in);
        ASSERT_NE(term, nullptr);
        set_term(term);
        screen_build();
    }

    void close_screen() {
        if (term == nullptr) return;
        if (screen.input_form != nullptr) {
            unpost_form(screen.input_form);
            free_form(screen.input_form);
        }
        if (screen.input_field != nullptr) free_field(screen.input_field);
        endwin();
        delscreen(term);
        fclose(out);
        fclose(in);
        term = nullptr;
        screen = screen_state{};
        process.screen_active = false;
    }

    void TearDown() override {
        close_screen();
        reset_all_state();
    }

    // One row of a window as text; the window's cursor is left where it was.
    static std::string row_text(WINDOW* window, int row) {
        int y, x;
        getyx(window, y, x);
        char text[1024] = "";
        mvwinnstr(window, row, 0, text, getmaxx(window));
        wmove(window, y, x);
        return text;
    }

    // A row with its trailing blanks removed.
    static std::string row_trimmed(WINDOW* window, int row) {
        std::string text = row_text(window, row);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }

    static short pair_at(WINDOW* window, int row, int column) {
        int y, x;
        getyx(window, y, x);
        chtype cell = mvwinch(window, row, column);
        wmove(window, y, x);
        return static_cast<short>(PAIR_NUMBER(cell & A_COLOR));
    }
};
