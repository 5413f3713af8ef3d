// The full-screen display: status area, chat window, prompt bar and input line.
// Every procedure returns at once without output in door mode (screen_active false).
//
// Interface summary:
//   screen_setup ()            builds the display, registers screen_close
//   show_number (row, col, v)  "%-10d" into the status window
//   show_upload_name (), show_download_name ()   current-file lines
//   chat_out (byte)            one received chat byte, filtered and translated; no refresh
//   draw_prompt_bar ()         the bar for input_mode
//   sound_bell ()              BEL on standard error unless the beeper is off
//   screen_close ()            exit handler: 2-second hold, endwin
//   screen_build ()            everything of screen_setup after initscr (tests build on newterm)
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

// Colour pairs.
constexpr short PAIR_BAR = 1;     // white on blue
constexpr short PAIR_TAG = 2;     // white on red
constexpr short PAIR_TEXT = 3;    // white on black
constexpr short PAIR_LABEL = 4;   // cyan on black

struct screen_state {
    bool screen_active = false;
    WINDOW* status_win = nullptr;
    WINDOW* chat_win = nullptr;
    WINDOW* prompt_win = nullptr;
    FIELD* input_field = nullptr;
    FORM* input_form = nullptr;
    FIELD* form_fields[2] = {};  // the form keeps a pointer to this list
    screen_layout layout;
    int input_mode = 0;  // 0 chat line, 1 upload names, 2 download names
    int escape_filter = 0;
};

extern screen_state screen;

void screen_setup();
void show_number(int row, int column, int32_t value);
void show_upload_name();
void show_download_name();
void chat_out(uint8_t byte);
void draw_prompt_bar();
void sound_bell();
void screen_close();
void screen_build();

int read_key();
void input_request(int request);
void input_after_key();
void input_text(char* out, size_t size);
void input_clear();
void redraw_prompt();
void redraw_screen();
void set_chat_pair(short pair);
void paint_tagged_line(const char* tag, const char* const* parts, int count);
