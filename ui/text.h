// Plain rules of the display: what goes on the screen, apart from how curses puts it there.
// Nothing here touches a window, so every rule is tested without a terminal.
//
// Interface summary:
//   compute_layout (lines, columns) -> where everything goes on a terminal of that size;
//                         too_small below screen_min_columns x screen_min_lines
//   place_in_status (layout, row, column, y, x) -> false when the layout leaves that place
//                         of the full status area out; else its place in the status window
//   dash_fill (out, size, text, width)      text then '-' up to width; no dashes when too wide
//   format_title (out, size, width), format_chat_heading (out, size, width)
//   format_bar (out, size, mode, auto_exit, beeper_off, width, seconds_left)   the prompt
//                         bar of a mode; with seconds_left 0 or more, "Autoexit: M:SS"
//   format_too_small (out, size, width)     the one line of a terminal too small
//                         (every text of these has a shorter form for a narrow terminal)
//   format_number (out, size, value)        "%-10lld", whole even when longer
//   format_file_name (out, size, path, width)  last path component, cut and padded to width
//                         columns, never inside a character; null path "-"
//   has_control_byte (bytes, length) -> 1 when a byte below 32 is in the line
//   trim_trailing_blanks (text)             the blanks at its end removed
//   key_of_char (code), key_char (key, code) -> keys as handle_key_code takes them
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/display.h"

// Below this the status area's figures and the chat window no longer fit.
constexpr int screen_min_columns = 40;
constexpr int screen_min_lines = 12;

constexpr int STATUS_ROWS = 12;        // rows 0-11 of the full status area
constexpr int PROMPT_ROWS = 2;         // the bar and the input line
constexpr int FILE_NAME_WIDTH = 15;    // a current-file line
constexpr int NUMBER_WIDTH = 10;       // a figure of the status area
constexpr int DONE_LEFT_WIDTH = 12;    // a "Done, left" text: "99% 99:59:59"
constexpr int LABEL_COLUMN = 2;        // the labels of the transfer figures
constexpr int LINK_LABEL_COLUMN = 48;  // the labels of the link's figures
constexpr int LINK_ROWS = 10;  // the link's figures, rows 2-10, and the compression in row 11
constexpr int LINK_LABEL_WIDTH = 19;  // "Transmitted packets"

// Where the link's figures stand.
constexpr int LINK_RIGHT = 0;   // beside the transfer figures, from 78 columns on
constexpr int LINK_BELOW = 1;   // under them, on a narrow terminal tall enough
constexpr int LINK_HIDDEN = 2;  // nowhere: a narrow, short terminal

// What the input line takes.
constexpr int INPUT_CHAT = 0;      // a chat line
constexpr int INPUT_UPLOAD = 1;    // names of files to send
constexpr int INPUT_DOWNLOAD = 2;  // names of files to request

// A key of handle_key_code: characters below 256 are themselves, curses' function keys
// (256 to 511) their codes, and every other character carries this bit.
constexpr int KEY_WIDE_CHAR = 0x40000000;

struct screen_layout {
    int lines = 0;
    int columns = 0;
    bool too_small = false;  // a notice line instead of the display
    int status_rows = 0;     // rows of the status window
    int status_row[STATUS_ROWS] =
        {};  // status-window row of each row of the full area; -1: left out
    int label_column = LABEL_COLUMN;
    int download_column = DOWNLOAD_COLUMN;
    int upload_column = UPLOAD_COLUMN;
    int name_width = FILE_NAME_WIDTH;
    int link_place = LINK_RIGHT;  // where the link's figures stand: a LINK_* place
    int link_label_column = LINK_LABEL_COLUMN;
    int link_column = LINK_COLUMN;
    int link_first_row = LINK_FIRST_ROW;  // status-window row of the link's first figure
    int chat_top = 0;                     // the windows' first rows and heights on the terminal
    int chat_rows = 0;                    // heading included; its last row lies under the bar
    int prompt_top = 0;
    int prompt_rows = 0;
};

screen_layout compute_layout(int lines, int columns);
bool place_in_status(const screen_layout& layout, int row, int column, int* y, int* x);
void dash_fill(char* out, size_t size, const char* text, int width);
void format_title(char* out, size_t size, int width);
void format_chat_heading(char* out, size_t size, int width);
void format_bar(char* out, size_t size, int mode, int auto_exit, int beeper_off, int width,
                int seconds_left = -1);
void format_too_small(char* out, size_t size, int width);
void format_number(char* out, size_t size, int64_t value);
void format_file_name(char* out, size_t size, const char* path, int width = FILE_NAME_WIDTH);
int has_control_byte(const uint8_t* bytes, int length);
void trim_trailing_blanks(char* text);
int key_of_char(uint32_t code);
bool key_char(int key, uint32_t* code);
