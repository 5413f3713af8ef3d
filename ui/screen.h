// The full-screen display: status area, chat window, prompt bar and input line.
// Every procedure returns at once without output in door mode (process.screen_active false).
//
// Interface summary:
//   screen_setup ()            device mode: the locale, the resize signal, curses, the display
//   screen_build ()            everything of screen_setup after initscr (tests build on
//                              newterm); installs these painters as the session's `display`
//   screen_follow_auto_exit () every pass of the main loop: the bar again when the seconds
//                              before the end by itself changed
//   screen_follow_size ()      every pass of the main loop: after a resize signal, the
//                              terminal's new size from the kernel and the display laid out
//                              again for it
//   screen_lay_out (lines, columns)   resizes curses and lays everything out again: windows,
//                              labels, figures, names, the chat's recent lines, the bar, the
//                              typed text; below the smallest size a notice line only
//   show_number (row, col, v)  "%-10lld" at that place of the status area
//   show_file_name (col, path) current-file line of the column's direction; null path "-"
//   show_done_left (col, text) the "Done, left" text of the column's direction
//   screen_size (columns, lines)   the terminal's size, 0 and 0 without a screen
//   show_chat_line (bytes, len)   word-wrapped line in the chat window, UTF-8 decoded
//   show_chat_bytes (bytes, len)  bytes as they came, then the prompt bar
//   show_info (text, detail)   an <INFO> line in the chat window
//   chat_out (byte)            one received chat byte: filtered, decoded, shown; no refresh
//   chat_put (code)            one character into the chat window in its current pair
//   draw_prompt_bar ()         the bar for input_mode
//   sound_bell ()              BEL on standard error unless the beeper is off
//   set_beeper_off ()          -q: the beeper starts off
//   screen_close ()            clean-up at the end of the run: 2-second hold, endwin; nothing
//                              while no screen is up
//   screen_suspend ()          curses mode left (endwin) before the process stops
//   screen_resume ()           after it went on: laid out for the terminal's size and drawn
//   screen_too_small ()        true while the terminal shows only the notice
//   screen_usable (why, size)  true when the terminal on standard output can run the
//                              display (TERM known to curses, cursor addressing, at least
//                              screen_min_columns x screen_min_lines); else false, `why` says
//                              what is missing. Touches nothing on the screen.
//
// The rest of the program draws only through these (ui/input.cpp keeps the input line):
//   read_key () -> key (see key_of_char), ERR when none    input_key (key)
//   key_to_request (key) -> forms request for an editing key, 0 for other keys
//   input_request (request)   input_after_key ()   input_text (out, size): the field's text
//   input_clear ()            redraw_prompt ()     redraw_screen (): all four windows
//   set_chat_pair (pair)
//   paint_tagged_line (tag, parts, count)      tag in pair 2, parts in pair 3, then the bar
//   build_input (text), take_input (out, size) the field made for the prompt window with
//                              that text in it; the field's text kept and the field freed
#pragma once

#include <form.h>
#include <ncurses.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "ui/glyphs.h"
#include "ui/text.h"

constexpr int screen_hold_s = 2;  // last state stays visible this long at exit
// The smallest usable terminal, screen_min_columns x screen_min_lines, is a rule of the
// layout: it stands in ui/text.h, included above.

// Colour pairs.
constexpr short PAIR_BAR = 1;    // white on blue
constexpr short PAIR_TAG = 2;    // white on red
constexpr short PAIR_TEXT = 3;   // white on black
constexpr short PAIR_LABEL = 4;  // cyan on black

constexpr int MAX_FIGURES = 32;      // places of the status area that hold a figure
constexpr int NAME_KEPT = 256;       // bytes of a current-file name kept for a new layout
constexpr int DONE_KEPT = 16;        // a "Done, left" text: "100% 99:59:59"
constexpr int CHAT_KEPT = 8192;      // characters of the chat window kept for a new layout
constexpr int INPUT_KEPT = 4096;     // bytes of typed text kept while the field is rebuilt
constexpr int CELL_PAIR_SHIFT = 24;  // a kept chat character: its pair above its code

struct kept_figure {
    int row = 0;
    int column = 0;
    int64_t value = 0;
};

struct screen_state {
    WINDOW* status_win = nullptr;
    WINDOW* chat_win = nullptr;
    WINDOW* prompt_win = nullptr;
    FIELD* input_field = nullptr;
    FORM* input_form = nullptr;
    FIELD* form_fields[2] = {};  // the form keeps a pointer to this list
    screen_layout layout;
    int input_mode = INPUT_CHAT;  // an INPUT_*: what the typed line is for
    int escape_filter = 0;        // chat_filter's state: inside an escape sequence of the peer's
    utf8_decoder chat_decoder;    // a received character may come in pieces
    int beeper_off = 0;           // -q, and the beeper key
    int exit_countdown = -1;      // the bar's "Autoexit: M:SS", -1 while it shows Yes or No
    short chat_pair = PAIR_TEXT;  // the pair chat text is drawn in now

    // What the screen shows, kept so that a new layout shows it again.
    kept_figure figures[MAX_FIGURES];
    int figure_count = 0;  // places kept in figures
    char download_name[NAME_KEPT] = "";
    char upload_name[NAME_KEPT] = "";
    char download_done[DONE_KEPT] = "";  // the "Done, left" texts
    char upload_done[DONE_KEPT] = "";
    char link_done[DONE_KEPT] = "";       // the compression: "x4.1", or "off"
    uint32_t chat_cells[CHAT_KEPT] = {};  // a ring, oldest first from chat_next once full
    int chat_next = 0;                    // where the next character goes
    bool chat_full = false;               // the ring has gone round once
    bool chat_row_filled = false;  // the last character filled its row: the cursor is on the next
    char input_kept[INPUT_KEPT] = "";  // the typed text while there is no field
};

extern screen_state screen;

// Set by the SIGWINCH handler; screen_follow_size lays the display out again.
extern volatile sig_atomic_t screen_resized;

void screen_setup();
void screen_build();
void screen_follow_size();
void screen_follow_auto_exit();
void screen_lay_out(int lines, int columns);
void show_number(int row, int column, int64_t value);
void show_file_name(int column, const char* path);
void show_done_left(int column, const char* text);
void screen_size(int* columns, int* lines);
void show_chat_line(const uint8_t* bytes, int length);
void show_chat_bytes(const uint8_t* bytes, int length);
void show_info(const char* text, const char* detail);
void chat_out(uint8_t byte);
void chat_put(uint32_t code);
void draw_prompt_bar();
void sound_bell();
void set_beeper_off();
void screen_close();
void screen_suspend();
void screen_resume();
bool screen_too_small();
bool screen_usable(char* why, size_t size);

int read_key();
void input_key(int key);
int key_to_request(int key);
void input_request(int request);
void input_after_key();
void input_text(char* out, size_t size);
void input_clear();
void redraw_prompt();
void redraw_screen();
void set_chat_pair(short pair);
void paint_tagged_line(const char* tag, const char* const* parts, int count);
void build_input(const char* text);
void take_input(char* out, size_t size);
