#include "ui/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "files/paths.h"
#include "ui/glyphs.h"

namespace {

constexpr int STATUS_KEPT_ROWS = 9;       // column heads and eight figure rows: always shown
constexpr int CHAT_ROWS_BEFORE_LINK = 3;  // a narrow terminal keeps these before the link's rows
constexpr int NARROW_LABEL_COLUMN = 1;    // under 47 columns the transfer columns close up
constexpr int NARROW_DOWNLOAD_COLUMN = 13;
constexpr int COLUMN_SLOT = UPLOAD_COLUMN - DOWNLOAD_COLUMN;

// Longest first: the first that fits the width is drawn.
constexpr const char* title_texts[] = {"---[ Kestro/Linux V1.0 - ported by Varkas ]",
                                       "---[ Kestro/Linux V1.0 ]"};
constexpr const char* chat_heading_texts[] = {"---[ Chat window ]---[ Ctrl-A for help ]-",
                                              "---[ Chat window ]--[ Ctrl-A: help ]-"};
// "No " keeps three letters so that a bar keeps its length.
constexpr const char* chat_bar_texts[] = {"---[ Chat prompt ]---[ Autoexit: %s ]--[ Beeper: %s ]-",
                                          "---[ Chat ]--[ Autoexit: %s ]--[ Beeper: %s ]-",
                                          "-[ Autoexit: %s ]-[ Beeper: %s ]-"};
constexpr const char* too_small_texts[] = {"Terminal too small: 40x12 needed", "Too small: 40x12",
                                           "Too small"};

template <size_t N>
const char* first_fit(const char* const (&texts)[N], int width) {
    for (const char* text : texts)
        if (static_cast<int>(strlen(text)) <= width) return text;
    return texts[N - 1];
}

// The rows of the status area, top to bottom, as far as the layout keeps them.
int place_status_rows(screen_layout* l, bool title, bool names, bool done_left) {
    int row = 0;
    for (int r = 0; r < STATUS_ROWS; ++r) {
        bool kept =
            (r != 0 || title) && (r != FILE_NAME_ROW || names) && (r != DONE_LEFT_ROW || done_left);
        l->status_row[r] = kept ? row++ : -1;
    }
    return row;
}

}  // namespace

screen_layout compute_layout(int lines, int columns) {
    screen_layout l;
    l.lines = lines;
    l.columns = columns;
    l.too_small = lines < screen_min_lines || columns < screen_min_columns;
    if (l.too_small) return l;
    l.prompt_rows = PROMPT_ROWS;
    l.prompt_top = lines - PROMPT_ROWS;
    if (columns < UPLOAD_COLUMN + FILE_NAME_WIDTH) {
        // Narrow: the two transfer columns close up, and names are cut to what is left.
        int slot = std::min(COLUMN_SLOT, (columns - NARROW_DOWNLOAD_COLUMN) / 2);
        l.label_column = NARROW_LABEL_COLUMN;
        l.download_column = NARROW_DOWNLOAD_COLUMN;
        l.upload_column = NARROW_DOWNLOAD_COLUMN + slot;
        l.name_width = std::min(FILE_NAME_WIDTH, slot - 1);
    }
    // Rows beyond the prompt, the chat heading and the status rows always kept go, in this
    // order, to one chat row, the file names, the title, the "Done, left" row under the
    // figures, the link's figures when they go below, and then to the chat.
    int spare = lines - PROMPT_ROWS - 1 - STATUS_KEPT_ROWS;
    auto take = [&spare](int rows) {
        if (spare < rows) return false;
        spare -= rows;
        return true;
    };
    int chat_shown = take(1) ? 1 : 0;
    bool names = take(1);
    bool title = take(1);
    bool done_left = take(1);
    int row = place_status_rows(&l, title, names, done_left);
    if (columns < LINK_COLUMN + NUMBER_WIDTH) {
        l.link_place = spare >= LINK_ROWS + CHAT_ROWS_BEFORE_LINK && take(LINK_ROWS) ? LINK_BELOW
                                                                                     : LINK_HIDDEN;
        l.link_label_column = l.label_column;
        l.link_column = l.label_column + LINK_LABEL_WIDTH + 2;
        l.link_first_row = row;
        if (l.link_place == LINK_BELOW) row += LINK_ROWS;
    }
    chat_shown += spare;
    l.status_rows = row;
    l.chat_top = row;
    l.chat_rows = chat_shown + 2;  // the heading, the rows shown, the row under the bar
    return l;
}

bool place_in_status(const screen_layout& l, int row, int column, int* y, int* x) {
    if (l.too_small || row < 0 || row >= STATUS_ROWS) return false;
    if (column == LINK_LABEL_COLUMN || column == LINK_COLUMN) {
        if (l.link_place == LINK_HIDDEN || row < LINK_FIRST_ROW ||
            row >= LINK_FIRST_ROW + LINK_ROWS)
            return false;
        *x = column == LINK_COLUMN ? l.link_column : l.link_label_column;
        *y = l.link_place == LINK_BELOW ? l.link_first_row + row - LINK_FIRST_ROW
                                        : l.status_row[row];
        return *y >= 0;
    }
    if (column == LABEL_COLUMN)
        *x = l.label_column;
    else if (column == DOWNLOAD_COLUMN)
        *x = l.download_column;
    else if (column == UPLOAD_COLUMN)
        *x = l.upload_column;
    else
        *x = column;
    *y = l.status_row[row];
    return *y >= 0;
}

void dash_fill(char* out, size_t size, const char* text, int width) {
    if (size == 0) return;
    size_t length = std::min(strlen(text), size - 1);
    memcpy(out, text, length);
    while (static_cast<int>(length) < width && length < size - 1) out[length++] = '-';
    out[length] = '\0';
}

void format_title(char* out, size_t size, int width) {
    dash_fill(out, size, first_fit(title_texts, width), width);
}

void format_chat_heading(char* out, size_t size, int width) {
    dash_fill(out, size, first_fit(chat_heading_texts, width), width);
}

namespace {

// "1:58": a countdown in the bar, without the hours the transfer figures need.
void format_seconds_left(char* out, size_t size, int seconds) {
    snprintf(out, size, "%d:%02d", seconds / 60, seconds % 60);
}

}  // namespace

void format_bar(char* out, size_t size, int mode, int auto_exit, int beeper_off, int width,
                int seconds_left) {
    char text[64];
    if (mode == INPUT_UPLOAD) {
        snprintf(text, sizeof text, "---[ Enter files to upload ]--");
    } else if (mode == INPUT_DOWNLOAD) {
        snprintf(text, sizeof text, "---[ Enter files to download ]--");
    } else {
        const char* yes_no[] = {"No ", "Yes"};
        // While the end by itself is only a matter of time, the time it is still away.
        char exit_text[16];
        snprintf(exit_text, sizeof exit_text, "%s", yes_no[auto_exit != 0]);
        if (auto_exit != 0 && seconds_left >= 0)
            format_seconds_left(exit_text, sizeof exit_text, seconds_left);
        for (const char* form : chat_bar_texts) {
            snprintf(text, sizeof text, form, exit_text, yes_no[beeper_off == 0]);
            if (static_cast<int>(strlen(text)) <= width) break;
        }
    }
    dash_fill(out, size, text, width);
}

void format_too_small(char* out, size_t size, int width) {
    snprintf(out, size, "%.*s", std::max(width, 0), first_fit(too_small_texts, width));
}

void format_number(char* out, size_t size, int64_t value) {
    snprintf(out, size, "%-10lld", static_cast<long long>(value));
}

void format_file_name(char* out, size_t size, const char* path, int width) {
    if (size == 0) return;
    const char* name = "-";
    if (path != nullptr) {
        const char* slash = strrchr(path, '/');
        name = slash != nullptr ? slash + 1 : path;
    }
    // Cut at the width in columns, whole characters only, then padded with blanks.
    utf8_decoder decoder;
    uint32_t codes[4];
    size_t used = 0;
    int columns = 0;
    // n characters just completed end at byte `end`: taken while they fit.
    auto fits = [&](int n, size_t end) {
        int wide = 0;
        for (int k = 0; k < n; ++k) wide += column_width(codes[k]);
        if (columns + wide > width || end >= size) return false;
        columns += wide;
        used = end;
        return true;
    };
    size_t length = strlen(name);
    bool whole = true;
    for (size_t i = 0; i < length && whole; ++i) {
        int n = utf8_feed(&decoder, static_cast<uint8_t>(name[i]), false, codes);
        if (n > 0) whole = fits(n, i + 1 - static_cast<size_t>(decoder.count));
    }
    if (whole) fits(utf8_flush(&decoder, false, codes), length);
    memcpy(out, name, used);
    while (columns < width && used < size - 1) {
        out[used++] = ' ';
        ++columns;
    }
    out[used] = '\0';
}

int has_control_byte(const uint8_t* bytes, int length) {
    // Bytes 0x80-0xFF are letters of the peer's code page, or UTF-8, not control bytes.
    for (int i = 0; i < length; ++i)
        if (bytes[i] < 32) return 1;
    return 0;
}

void trim_trailing_blanks(char* text) {
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ') --length;
    text[length] = '\0';
}

int key_of_char(uint32_t code) {
    return code < 256 ? static_cast<int>(code) : KEY_WIDE_CHAR | static_cast<int>(code);
}

bool key_char(int key, uint32_t* code) {
    if (key < 0) return false;
    if ((key & KEY_WIDE_CHAR) != 0) {
        *code = static_cast<uint32_t>(key & ~KEY_WIDE_CHAR);
        return true;
    }
    if (key >= 256) return false;  // a function key
    *code = static_cast<uint32_t>(key);
    return true;
}
