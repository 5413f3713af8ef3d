// The full-screen display: status area, chat window, prompt bar and input line.
// Every procedure returns at once without output in door mode (process.screen_active false).
//
// Interface summary:
//   screen_setup ()            device mode: builds the display, registers screen_close
//   screen_build ()            everything of screen_setup after initscr (tests build on
//                              newterm); fills in the session's `display` with these painters
//   show_number (row, col, v)  "%-10lld" into the status window
//   show_file_name (col, path) current-file line of the column's direction; null path "-"
//   screen_size (columns, lines)   the terminal's size, 0 and 0 without a screen
//   chat_out (byte)            one received chat byte, filtered and translated; no refresh
//   draw_prompt_bar ()         the bar for input_mode
//   sound_bell ()              BEL on standard error unless the beeper is off
//   screen_close ()            clean-up at the end of the run: 2-second hold, endwin
//   screen_usable (why, size)  true when the terminal on standard output can run the
//                              display (TERM known to curses, cursor addressing, at least
//                              screen_min_columns x screen_min_lines); else false, `why` says
//                              what is missing. Touches nothing on the screen.
//
// The rest of the program draws only through these; no other file calls curses:
//   read_key () -> key code, ERR when none    input_request (request)   input_after_key ()
//   input_text (out, size)  the field's text   input_clear ()            redraw_prompt ()
//   redraw_screen ()        all four windows   set_chat_pair (pair)
//   paint_tagged_line (tag, parts, count)      tag in pair 2, parts in pair 3, then the bar
#pragma once

#include <form.h>
#include <ncurses.h>

#include <cstddef>
#include <cstdint>

#include "ui/text.h"

constexpr int screen_hold_s = 2;  // last state stays visible this long at exit
// Below this the status area's labels and the chat window no longer fit.
constexpr int screen_min_columns = 40;
constexpr int screen_min_lines = 12;

// Colour pairs.
constexpr short PAIR_BAR = 1;     // white on blue
constexpr short PAIR_TAG = 2;     // white on red
constexpr short PAIR_TEXT = 3;    // white on black
constexpr short PAIR_LABEL = 4;   // cyan on black

struct screen_state {
    WINDOW* status_win = nullptr;
    WINDOW* chat_win = nullptr;
    WINDOW* prompt_win = nullptr;
    FIELD* input_field = nullptr;
    FORM* input_form = nullptr;
    FIELD* form_fields[2] = {};  // the form keeps a pointer to this list
    screen_layout layout;
    int input_mode = INPUT_CHAT;
    int escape_filter = 0;
    int beeper_off = 0;  // -q, and the beeper key
};

extern screen_state screen;

void screen_setup();
void show_number(int row, int column, int64_t value);
void show_file_name(int column, const char* path);
void screen_size(int* columns, int* lines);
void chat_out(uint8_t byte);
void draw_prompt_bar();
void sound_bell();
void screen_close();
void screen_build();
bool screen_usable(char* why, size_t size);

int read_key();
void input_request(int request);
void input_after_key();
void input_text(char* out, size_t size);
void input_clear();
void redraw_prompt();
void redraw_screen();
void set_chat_pair(short pair);
void paint_tagged_line(const char* tag, const char* const* parts, int count);
