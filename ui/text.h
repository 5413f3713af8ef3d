// Plain rules of the display: what goes on the screen, apart from how curses puts it there.
// Nothing here touches a window, so every rule is tested without a terminal.
//
// Interface summary:
//   compute_layout (lines, columns) -> window sizes; every window keeps at least one row
//   dash_fill (out, size, text, width)      text then '-' up to width; no dashes when too wide
//   format_bar (out, size, mode, auto_exit, beeper_off, width)   the prompt bar of a mode
//   format_number (out, size, value)        "%-10lld", whole even when longer
//   format_file_name (out, size, path)      last path component as "%-15.15s"; null path "-"
//   chat_filter (filter, byte) -> byte to show, or -1 when the byte is dropped
//   wrap_piece (bytes, remaining) -> length of the next piece of a wrapped chat line
//   has_control_byte (bytes, length) -> 1 when a byte below 32 is in the line
//   key_to_request (key) -> forms request for an editing key, 0 for other keys
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int STATUS_ROWS = 11;       // rows 0-10; row 11 stays blank
constexpr int CHAT_TOP = 12;          // first screen row of the chat window
constexpr int PROMPT_ROWS = 2;        // the bar and the input line
constexpr int FILE_NAME_WIDTH = 15;   // a current-file line
constexpr int NUMBER_WIDTH = 10;      // a figure of the status area
constexpr int WRAP_SEARCH_LOW = 39;   // a wrapped piece never ends before this position

// What the input line takes.
constexpr int INPUT_CHAT = 0;      // a chat line
constexpr int INPUT_UPLOAD = 1;    // names of files to send
constexpr int INPUT_DOWNLOAD = 2;  // names of files to request

struct screen_layout {
    int lines = 0;
    int columns = 0;
    int status_rows = 0;
    int chat_top = 0;
    int chat_rows = 0;     // heading included; its last row lies under the bar
    int prompt_top = 0;
    int prompt_rows = 0;
};

screen_layout compute_layout(int lines, int columns);
void dash_fill(char* out, size_t size, const char* text, int width);
void format_bar(char* out, size_t size, int mode, int auto_exit, int beeper_off, int width);
void format_number(char* out, size_t size, int64_t value);
void format_file_name(char* out, size_t size, const char* path);
int chat_filter(int* filter, uint8_t byte);
int wrap_piece(const uint8_t* bytes, int remaining);
int has_control_byte(const uint8_t* bytes, int length);
int key_to_request(int key);
