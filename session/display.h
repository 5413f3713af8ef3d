// What the session shows, and where: the screen installs its hooks when it is built
// (ui/screen.cpp). Until then, in door mode and in tests, every entry does nothing. The
// session pushes what changed; nothing is read back out of session state to be drawn.
//
// Interface summary (all return nothing):
//   display.figure (row, column, value)  one figure of the status area
//   display.file_name (column, path)     current-file line of a direction; null path: "-"
//   display.done_left (column, text)     a direction's "Done, left" text; at LINK_COLUMN
//                                        the compression (what the line's bytes held)
//   display.info (text, detail)          an information line in the chat window
//   display.beep ()                      the bell, unless the user turned it off
//   display.screen_size (columns, lines) the screen's size for the opening block; 0, 0 none
//   display.chat_line (bytes, length)    one chat line of the peer, word-wrapped
//   display.chat_bytes (bytes, length)   the peer's chat bytes as they came (its lines 0)
//   display_install (hooks)              all of the hooks at once
#pragma once

#include <cstdint>

// Places in the status area, shared with the labels the screen draws around them.
constexpr int FILE_NAME_ROW = 2;
constexpr int FIRST_FIGURE_ROW = 3;  // the figures of a direction, one per row
constexpr int DOWNLOAD_COLUMN = 16;
constexpr int UPLOAD_COLUMN = 32;
constexpr int LINK_FIRST_ROW = 2;  // the link's figures
constexpr int LINK_COLUMN = 68;
constexpr int DONE_LEFT_ROW = 11;  // under the figures: share done and time left

struct display_hooks {
    void (*figure)(int row, int column, int64_t value) = [](int, int, int64_t) {};
    void (*file_name)(int column, const char* path) = [](int, const char*) {};
    void (*done_left)(int column, const char* text) = [](int, const char*) {};
    void (*info)(const char* text, const char* detail) = [](const char*, const char*) {};
    void (*beep)() = [] {};
    void (*screen_size)(int* columns, int* lines) = [](int* columns, int* lines) {
        *columns = 0;
        *lines = 0;
    };
    void (*chat_line)(const uint8_t* bytes, int length) = [](const uint8_t*, int) {};
    void (*chat_bytes)(const uint8_t* bytes, int length) = [](const uint8_t*, int) {};
};

extern display_hooks display;

void display_install(const display_hooks* hooks);
