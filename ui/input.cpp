// The input line: one field of the forms library in the prompt window, fed wide characters,
// and the keys read for it.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "serial/process.h"
#include "ui/screen.h"

namespace {

constexpr int input_offscreen_rows = 3;
constexpr int input_max_growth = 100;

void place_cursor() {
    if (screen.input_form != nullptr) pos_form_cursor(screen.input_form);
}

}  // namespace

void build_input(const char* text) {
    if (screen.prompt_win == nullptr) return;
    screen.input_field = new_field(1, screen.layout.columns, 1, 0, input_offscreen_rows, 0);
    if (screen.input_field == nullptr) return;
    field_opts_off(screen.input_field, O_AUTOSKIP | O_WRAP);
    set_max_field(screen.input_field, input_max_growth);
    screen.form_fields[0] = screen.input_field;
    screen.form_fields[1] = nullptr;
    screen.input_form = new_form(screen.form_fields);
    if (screen.input_form == nullptr) return;
    set_form_win(screen.input_form, screen.prompt_win);
    // Without its own subwindow the form would draw the field on stdscr, at the top.
    set_form_sub(screen.input_form, screen.prompt_win);
    post_form(screen.input_form);
    set_field_buffer(screen.input_field, 0, text);
    if (text[0] != '\0') input_request(REQ_END_FIELD);  // typing goes on after the text
}

void take_input(char* out, size_t size) {
    if (screen.input_field == nullptr) return;  // no field: out keeps what it held
    input_text(out, size);
    trim_trailing_blanks(out);
    if (screen.input_form != nullptr) {
        unpost_form(screen.input_form);
        free_form(screen.input_form);
    }
    free_field(screen.input_field);
    screen.input_form = nullptr;
    screen.input_field = nullptr;
}

int read_key() {
    if (!process.screen_active) return ERR;
    if (MB_CUR_MAX == 1) {
        // A locale of one byte a character: wget_wch, handed a byte that is none of its
        // characters (a UTF-8 terminal's), would swallow the keys after it. Byte by byte.
        int key = wgetch(stdscr);
        if (key == ERR || key == KEY_RESIZE) return ERR;
        if (key >= 256) return key;
        wint_t code = btowc(key);
        return code == WEOF ? key : key_of_char(code);  // a byte of no character types nothing
    }
    wint_t code = 0;
    int kind = wget_wch(stdscr, &code);
    if (kind == KEY_CODE_YES) return code == KEY_RESIZE ? ERR : static_cast<int>(code);
    if (kind == OK) return key_of_char(code);
    return ERR;
}

void input_key(int key) {
    if (!process.screen_active || screen.input_form == nullptr) return;
    uint32_t code = 0;
    if (!key_char(key, &code)) {
        form_driver_w(screen.input_form, KEY_CODE_YES, key);  // a function key the forms may know
        return;
    }
    // Text is what the terminal can show; other control keys type nothing.
    if (code < 32 || code == 127 || !iswprint(static_cast<wint_t>(code))) return;
    form_driver_w(screen.input_form, OK, static_cast<wchar_t>(code));
}

int key_to_request(int key) {
    switch (key) {
    case 8:    // Ctrl+H
    case 127:  // DEL
    case KEY_BACKSPACE: return REQ_DEL_PREV;
    case KEY_LEFT: return REQ_LEFT_CHAR;
    case KEY_RIGHT: return REQ_RIGHT_CHAR;
    default: return 0;
    }
}

void input_request(int request) {
    if (!process.screen_active || screen.input_form == nullptr) return;
    form_driver_w(screen.input_form, KEY_CODE_YES, request);
}

void input_after_key() {
    if (!process.screen_active || screen.prompt_win == nullptr) return;
    input_request(REQ_VALIDATION);
    wrefresh(screen.prompt_win);
}

void input_text(char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (!process.screen_active || screen.input_field == nullptr) return;
    const char* text = field_buffer(screen.input_field, 0);
    if (text == nullptr) return;
    size_t length = strnlen(text, size - 1);
    // Cut, a multibyte character is dropped whole rather than split.
    if (length == size - 1)
        while (length > 0 && (static_cast<uint8_t>(text[length]) & 0xC0) == 0x80) --length;
    memcpy(out, text, length);
    out[length] = '\0';
}

void input_clear() {
    if (!process.screen_active || screen.input_field == nullptr) return;
    set_field_buffer(screen.input_field, 0, "");
}

void redraw_prompt() {
    if (!process.screen_active || screen.prompt_win == nullptr) return;
    place_cursor();
    redrawwin(screen.prompt_win);
    wrefresh(screen.prompt_win);
}
