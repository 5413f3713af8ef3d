// The painter: the only file that calls curses. What to draw comes from ui/text.h;
// this file only puts it into the windows, clipped to their edges.
#include "ui/screen.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/process.h"
#include "session/display.h"
#include "session/transfer.h"
#include "ui/chat.h"

screen_state screen;

namespace {

constexpr char title_text[] = "---[ Kestro/Linux V1.0 - ported by Varkas ]";
constexpr char chat_heading_text[] = "---[ Chat window ]---[ Ctrl-A for help ]-";
constexpr int input_offscreen_rows = 3;
constexpr int input_max_growth = 100;
constexpr int bar_size = 1024;  // a bar line: wider terminals get a bar cut at this width

struct label {
    int row;
    int column;
    const char* text;
};
constexpr label status_labels[] = {
    {1, DOWNLOAD_COLUMN, "Download"}, {1, UPLOAD_COLUMN, "Upload"},
    {FILE_NAME_ROW, 2, "File Name"},  {3, 2, "File size"},
    {3, 48, "Transmit window"},  {4, 2, "Bytes left"},
    {4, 48, "Packet size"},      {5, 2, "Total files"},
    {5, 48, "Received packets"}, {6, 2, "Total bytes"},
    {6, 48, "Received bytes"},   {7, 2, "Files left"},
    {7, 48, "Receive errors"},   {8, 2, "Bytes left"},
    {8, 48, "Transmitted packets"}, {9, 2, "Average cps"},
    {9, 48, "Transmitted bytes"},   {10, 2, "Current cps"},
    {10, 48, "Transmit errors"},
};

// Writes text at (row, column), cut at the window's right edge so that nothing
// wraps into the next row; a position outside the window draws nothing.
void put_text(WINDOW* window, int row, int column, const char* text) {
    if (window == nullptr || column >= getmaxx(window) || row >= getmaxy(window)) return;
    if (wmove(window, row, column) == ERR) return;
    waddnstr(window, text, getmaxx(window) - column);
}

void put_dashed_line(WINDOW* window, const char* text) {
    char line[bar_size];
    dash_fill(line, sizeof line, text, getmaxx(window));
    put_text(window, 0, 0, line);
}

void show_refresh(WINDOW* window) {
    redrawwin(window);
    wrefresh(window);
}

void build_status() {
    WINDOW* w = screen.status_win;
    wattrset(w, COLOR_PAIR(PAIR_BAR));
    put_dashed_line(w, title_text);
    wattrset(w, COLOR_PAIR(PAIR_LABEL));
    for (const label& l : status_labels) put_text(w, l.row, l.column, l.text);
    wrefresh(w);
    wattrset(w, COLOR_PAIR(PAIR_TEXT));
}

void build_chat() {
    WINDOW* w = screen.chat_win;
    init_pair(PAIR_TAG, COLOR_WHITE, COLOR_RED);
    wattrset(w, COLOR_PAIR(PAIR_TAG));
    put_dashed_line(w, chat_heading_text);
    int rows = screen.layout.chat_rows;
    wmove(w, rows > 1 ? 1 : 0, 0);
    if (rows > 1) wsetscrreg(w, 1, rows - 1);
    scrollok(w, TRUE);
    wrefresh(w);
    wattrset(w, COLOR_PAIR(PAIR_TEXT));
}

void build_input() {
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
    set_field_buffer(screen.input_field, 0, "");
}

void place_cursor() {
    if (screen.input_form != nullptr) pos_form_cursor(screen.input_form);
}

}  // namespace

void screen_setup() {
    if (!process.device_mode) return;  // door mode: the terminal is the line
    initscr();
    on_end_of_run(screen_close);
    screen_build();
}

void screen_build() {
    process.screen_active = true;
    display.figure = show_number;
    display.file_name = show_file_name;
    display.info = show_info;
    display.beep = sound_bell;
    display.screen_size = screen_size;
    display.chat_line = show_chat_line;
    display.chat_bytes = show_chat_bytes;
    wtimeout(stdscr, 0);  // key reads never wait
    start_color();
    noecho();
    cbreak();

    screen.layout = compute_layout(LINES, COLS);
    const screen_layout& l = screen.layout;
    screen.status_win = newwin(l.status_rows, l.columns, 0, 0);
    keypad(stdscr, TRUE);
    screen.chat_win = newwin(l.chat_rows, l.columns, l.chat_top, 0);
    screen.prompt_win = newwin(l.prompt_rows, l.columns, l.prompt_top, 0);

    init_pair(PAIR_BAR, COLOR_WHITE, COLOR_BLUE);
    init_pair(PAIR_TEXT, COLOR_WHITE, COLOR_BLACK);
    init_pair(PAIR_LABEL, COLOR_CYAN, COLOR_BLACK);
    // The blank stdscr goes out first: refreshed after the windows it erased them all again,
    // row by row, so the terminal showed the prompt bar beside a blank title for a moment.
    wrefresh(stdscr);
    build_status();
    show_file_name(UPLOAD_COLUMN, nullptr);  // "-" until the first transfer names a file
    show_file_name(DOWNLOAD_COLUMN, nullptr);
    build_chat();
    build_input();

    wattrset(screen.prompt_win, COLOR_PAIR(PAIR_TEXT));
    draw_prompt_bar();  // every window is on the terminal now, each refreshed once it was built
}

void show_number(int row, int column, int64_t value) {
    if (!process.screen_active) return;
    char text[16];
    format_number(text, sizeof text, value);
    put_text(screen.status_win, row, column, text);
    wrefresh(screen.status_win);
}

void show_file_name(int column, const char* path) {
    if (!process.screen_active) return;
    char text[FILE_NAME_WIDTH + 1];
    format_file_name(text, sizeof text, path);
    put_text(screen.status_win, FILE_NAME_ROW, column, text);
    wrefresh(screen.status_win);
}

void screen_size(int* columns, int* lines) {
    *columns = process.screen_active ? COLS : 0;
    *lines = process.screen_active ? LINES : 0;
}

void chat_out(uint8_t byte) {
    if (!process.screen_active) return;
    int shown = chat_filter(&screen.escape_filter, byte);
    if (shown < 0) return;
    waddch(screen.chat_win, static_cast<chtype>(shown));
}

void draw_prompt_bar() {
    if (!process.screen_active) return;
    wrefresh(screen.chat_win);
    if (screen.input_form != nullptr) form_driver(screen.input_form, REQ_VALIDATION);
    char bar[bar_size];
    format_bar(bar, sizeof bar, screen.input_mode, session.auto_exit_flags, screen.beeper_off,
               getmaxx(screen.prompt_win));
    wattrset(screen.prompt_win, COLOR_PAIR(PAIR_BAR));
    put_text(screen.prompt_win, 0, 0, bar);
    wattrset(screen.prompt_win, COLOR_PAIR(PAIR_TEXT));
    place_cursor();
    show_refresh(screen.prompt_win);
}

void sound_bell() {
    if (!process.screen_active || screen.beeper_off != 0) return;
    fputc(7, stderr);  // unbuffered: the terminal beeps at once
}

void screen_close() {
    sleep(screen_hold_s);
    endwin();
    process.screen_active = false;
}

int read_key() {
    if (!process.screen_active) return ERR;
    return wgetch(stdscr);
}

void input_request(int request) {
    if (!process.screen_active || screen.input_form == nullptr) return;
    form_driver(screen.input_form, request);
}

void input_after_key() {
    if (!process.screen_active) return;
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
    memcpy(out, text, length);
    out[length] = '\0';
}

void input_clear() {
    if (!process.screen_active || screen.input_field == nullptr) return;
    set_field_buffer(screen.input_field, 0, "");
}

void redraw_prompt() {
    if (!process.screen_active) return;
    place_cursor();
    show_refresh(screen.prompt_win);
}

void redraw_screen() {
    if (!process.screen_active) return;
    show_refresh(stdscr);
    show_refresh(screen.status_win);
    show_refresh(screen.chat_win);
    place_cursor();
    show_refresh(screen.prompt_win);
}

void set_chat_pair(short pair) {
    if (!process.screen_active) return;
    wattrset(screen.chat_win, COLOR_PAIR(pair));
}

void paint_tagged_line(const char* tag, const char* const* parts, int count) {
    if (!process.screen_active) return;
    WINDOW* w = screen.chat_win;
    wattrset(w, COLOR_PAIR(PAIR_TAG));
    waddstr(w, tag);
    wattrset(w, COLOR_PAIR(PAIR_TEXT));
    for (int i = 0; i < count; ++i) waddstr(w, parts[i]);
    wrefresh(w);
    draw_prompt_bar();
}
