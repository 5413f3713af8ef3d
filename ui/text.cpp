#include "ui/text.h"

#include <form.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "files/paths.h"
#include "ui/chat.h"

// Named bytes of the chat stream.
constexpr uint8_t BYTE_CR = 13;   // dropped: the peer ends lines with CR, we scroll on LF
constexpr uint8_t BYTE_ESC = 27;  // starts a colour sequence, dropped up to its 'm'
constexpr uint8_t BYTE_BLANK = ' ';

namespace {

// Code page 437 letters the peer may send, and their ISO 8859-1 equivalents.
struct translation {
    uint8_t from;
    uint8_t to;
};
constexpr translation cp437_to_latin1[] = {
    {0x84, 0xE4},  // a umlaut
    {0x86, 0xE5},  // a ring
    {0x8E, 0xC4},  // A umlaut
    {0x8F, 0xC5},  // A ring
    {0x94, 0xF6},  // o umlaut
    {0x99, 0xD6},  // O umlaut
};

}  // namespace

screen_layout compute_layout(int lines, int columns) {
    screen_layout layout;
    layout.lines = std::max(lines, 1);
    layout.columns = std::max(columns, 1);
    layout.prompt_top = std::max(layout.lines - PROMPT_ROWS, 0);
    layout.prompt_rows = layout.lines - layout.prompt_top;
    // On a short screen the chat window moves up so that it keeps its heading
    // and one row; the status window shrinks to what is left above it.
    layout.chat_top = std::min(CHAT_TOP, std::max(layout.prompt_top - 1, 0));
    layout.chat_rows = layout.prompt_top + 1 - layout.chat_top;
    layout.status_rows = std::min(STATUS_ROWS, std::max(1, layout.chat_top - 1));
    return layout;
}

void dash_fill(char* out, size_t size, const char* text, int width) {
    if (size == 0) return;
    size_t length = std::min(strlen(text), size - 1);
    memcpy(out, text, length);
    while (static_cast<int>(length) < width && length < size - 1) out[length++] = '-';
    out[length] = '\0';
}

void format_bar(char* out, size_t size, int mode, int auto_exit, int beeper_off, int width) {
    char text[64];
    if (mode == INPUT_UPLOAD) {
        snprintf(text, sizeof text, "---[ Enter files to upload ]--");
    } else if (mode == INPUT_DOWNLOAD) {
        snprintf(text, sizeof text, "---[ Enter files to download ]--");
    } else {
        // "No " keeps three letters so the bar is always 56 characters long.
        snprintf(text, sizeof text, "---[ Chat prompt ]---[ Autoexit: %s ]--[ Beeper: %s ]-",
                 auto_exit != 0 ? "Yes" : "No ", beeper_off == 0 ? "Yes" : "No ");
    }
    dash_fill(out, size, text, width);
}

void format_number(char* out, size_t size, int64_t value) {
    snprintf(out, size, "%-10lld", static_cast<long long>(value));
}

void format_file_name(char* out, size_t size, const char* path) {
    const char* name = "-";
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (path != nullptr) {
        if (split_path(path, directory, sizeof directory, base, sizeof base) == 0) {
            name = base;
        } else {
            // A part too long for the buffers: the text after the last '/' is still the name.
            const char* slash = strrchr(path, '/');
            name = slash != nullptr ? slash + 1 : path;
        }
    }
    snprintf(out, size, "%-15.15s", name);
}

int chat_filter(int* filter, uint8_t byte) {
    if (byte == BYTE_CR) return -1;
    if (*filter != 0) {
        if (byte == 'm') *filter = 0;
        return -1;
    }
    if (byte == BYTE_ESC) {
        *filter = 1;
        return -1;
    }
    for (const translation& t : cp437_to_latin1)
        if (t.from == byte) return t.to;
    return byte;
}

int wrap_piece(const uint8_t* bytes, int remaining) {
    if (remaining <= CHAT_WIDTH) return remaining;
    if (bytes[CHAT_WIDTH] == BYTE_BLANK) return CHAT_WIDTH;
    for (int i = CHAT_WIDTH - 1; i >= WRAP_SEARCH_LOW; --i)
        if (bytes[i] == BYTE_BLANK) return i;
    return CHAT_WIDTH;
}

int has_control_byte(const uint8_t* bytes, int length) {
    // Bytes 0x80-0xFF are letters of the peer's code page, not control bytes.
    for (int i = 0; i < length; ++i)
        if (bytes[i] < 32) return 1;
    return 0;
}

int key_to_request(int key) {
    switch (key) {
        case 8:    // Ctrl+H
        case 127:  // DEL
        case KEY_BACKSPACE:
            return REQ_DEL_PREV;
        case KEY_LEFT:
            return REQ_LEFT_CHAR;
        case KEY_RIGHT:
            return REQ_RIGHT_CHAR;
        default:
            return 0;
    }
}
