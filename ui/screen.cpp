// The painter. What to draw comes from ui/text.h and ui/glyphs.h; this file puts it into the
// windows, clipped to their edges, and keeps what it showed, so that a terminal of another
// size gets all of it again.
#include "ui/screen.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/names.h"
#include "files/paths.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/display.h"
#include "session/transfer.h"

screen_state screen;
volatile sig_atomic_t screen_resized = 0;

namespace {

constexpr uint8_t BYTE_LF = 10;

constexpr int bar_size = 1024;  // a bar line: wider terminals get a bar cut at this width
constexpr uint32_t NEWLINE = '\n';
constexpr uint32_t CODE_MASK = (1u << CELL_PAIR_SHIFT) - 1;

struct label {
    int row;
    int column;
    const char* text;
};
constexpr label status_labels[] = {
    {1, DOWNLOAD_COLUMN, "Download"},
    {1, UPLOAD_COLUMN, "Upload"},
    {FILE_NAME_ROW, LABEL_COLUMN, "File Name"},
    {3, LABEL_COLUMN, "File size"},
    {3, LINK_LABEL_COLUMN, "Transmit window"},
    {4, LABEL_COLUMN, "Bytes left"},
    {4, LINK_LABEL_COLUMN, "Packet size"},
    {5, LABEL_COLUMN, "Total files"},
    {5, LINK_LABEL_COLUMN, "Received packets"},
    {6, LABEL_COLUMN, "Total bytes"},
    {6, LINK_LABEL_COLUMN, "Received bytes"},
    {7, LABEL_COLUMN, "Files left"},
    {7, LINK_LABEL_COLUMN, "Receive errors"},
    {8, LABEL_COLUMN, "Total left"},  // of the batch; row 4 is the file's
    {8, LINK_LABEL_COLUMN, "Transmitted packets"},
    {9, LABEL_COLUMN, "Average cps"},
    {9, LINK_LABEL_COLUMN, "Transmitted bytes"},
    {10, LABEL_COLUMN, "Current cps"},
    {10, LINK_LABEL_COLUMN, "Transmit errors"},
    {DONE_LEFT_ROW, LABEL_COLUMN, "Done, left"},
    {DONE_LEFT_ROW, LINK_LABEL_COLUMN, "Compression"},
    {LINK_FIRST_ROW, LINK_LABEL_COLUMN, "Window size"},
};

void resize_handler(int /*signal_number*/) { screen_resized = 1; }

// One character at the window's cursor; control characters as curses shows them (^G).
void put_char(WINDOW* window, uint32_t code, short pair) {
    if (code < 32 || code == 127) {
        wattrset(window, COLOR_PAIR(pair));
        waddch(window, code);
        return;
    }
    wchar_t wide[2] = {static_cast<wchar_t>(shown_code(code)), L'\0'};
    cchar_t cell;
    setcchar(&cell, wide, A_NORMAL, pair, nullptr);
    wadd_wch(window, &cell);
}

// UTF-8 text at (row, column) in a pair, cut at the window's right edge so that nothing
// wraps into the next row; a place outside the window draws nothing.
void put_text(WINDOW* window, int row, int column, const char* text, short pair) {
    if (window == nullptr || row < 0 || column >= getmaxx(window) || row >= getmaxy(window)) return;
    if (wmove(window, row, column) == ERR) return;
    int room = getmaxx(window) - column;
    utf8_decoder decoder;
    uint32_t codes[4];
    auto put = [&](int n) {
        for (int i = 0; i < n && room > 0; ++i) {
            if (is_c1(codes[i]) || codes[i] < 32) continue;
            int width = column_width(codes[i]);
            if (width > room) {
                room = 0;
                return;
            }
            put_char(window, codes[i], pair);
            room -= width;
        }
    };
    for (const char* p = text; *p != '\0' && room > 0; ++p)
        put(utf8_feed(&decoder, static_cast<uint8_t>(*p), false, codes));
    put(utf8_flush(&decoder, false, codes));
}

// A chat character. A line feed right after a character that filled its row is not drawn:
// the cursor went to the next row with that character, and a second move would leave a gap.
void put_chat_char(WINDOW* window, uint32_t code, short pair) {
    bool filled = screen.chat_row_filled;
    screen.chat_row_filled = false;
    if (code == NEWLINE && filled) return;
    put_char(window, code, pair);
    screen.chat_row_filled = code >= 32 && getcurx(window) == 0;
}

void keep_figure(int row, int column, int64_t value) {
    for (int i = 0; i < screen.figure_count; ++i) {
        kept_figure& f = screen.figures[i];
        if (f.row == row && f.column == column) {
            f.value = value;
            return;
        }
    }
    if (screen.figure_count < MAX_FIGURES)
        screen.figures[screen.figure_count++] = kept_figure{row, column, value};
}

// Text at a place of the full status area, when the layout shows that place.
void put_in_status(int row, int column, const char* text, short pair) {
    int y = 0;
    int x = 0;
    if (place_in_status(screen.layout, row, column, &y, &x))
        put_text(screen.status_win, y, x, text, pair);
}

void paint_figure(const kept_figure& f) {
    char text[24];
    format_number(text, sizeof text, f.value);
    put_in_status(f.row, f.column, text, PAIR_TEXT);
}

void paint_name(int column) {
    const char* name = column == DOWNLOAD_COLUMN ? screen.download_name : screen.upload_name;
    char text[NAME_KEPT + FILE_NAME_WIDTH];
    format_file_name(text, sizeof text, name[0] != '\0' ? name : nullptr, screen.layout.name_width);
    put_in_status(FILE_NAME_ROW, column, text, PAIR_TEXT);
}

// The kept "Done, left" text of a direction's column; the link column's is the compression.
char* done_kept(int column) {
    if (column == DOWNLOAD_COLUMN) return screen.download_done;
    return column == UPLOAD_COLUMN ? screen.upload_done : screen.link_done;
}

void paint_done_left(int column) {
    const char* kept = done_kept(column);
    char text[DONE_KEPT + DONE_LEFT_WIDTH];
    // Blanks after it, over a longer text shown before.
    snprintf(text, sizeof text, "%-*s", DONE_LEFT_WIDTH, kept[0] != '\0' ? kept : "-");
    put_in_status(DONE_LEFT_ROW, column, text, PAIR_TEXT);
}

// The whole status area, from what it was given.
void paint_status() {
    char line[bar_size];
    format_title(line, sizeof line, screen.layout.columns);
    put_in_status(0, 0, line, PAIR_BAR);
    for (const label& l : status_labels) put_in_status(l.row, l.column, l.text, PAIR_LABEL);
    paint_name(DOWNLOAD_COLUMN);
    paint_name(UPLOAD_COLUMN);
    paint_done_left(DOWNLOAD_COLUMN);
    paint_done_left(UPLOAD_COLUMN);
    paint_done_left(LINK_COLUMN);
    for (int i = 0; i < screen.figure_count; ++i) paint_figure(screen.figures[i]);
    wattrset(screen.status_win, COLOR_PAIR(PAIR_TEXT));
}

// The heading, the scrolling region, and the chat's recent lines as far as they were kept.
void paint_chat() {
    WINDOW* w = screen.chat_win;
    char line[bar_size];
    format_chat_heading(line, sizeof line, screen.layout.columns);
    put_text(w, 0, 0, line, PAIR_TAG);
    int rows = screen.layout.chat_rows;
    wmove(w, rows > 1 ? 1 : 0, 0);
    if (rows > 1) wsetscrreg(w, 1, rows - 1);
    scrollok(w, TRUE);
    int count = screen.chat_full ? CHAT_KEPT : screen.chat_next;
    int start = screen.chat_full ? screen.chat_next : 0;
    int i = 0;
    if (screen.chat_full) {  // the oldest kept line lost its start: shown from the next one
        while (i < count && (screen.chat_cells[(start + i) % CHAT_KEPT] & CODE_MASK) != NEWLINE)
            ++i;
        ++i;
    }
    screen.chat_row_filled = false;
    for (; i < count; ++i) {
        uint32_t cell = screen.chat_cells[(start + i) % CHAT_KEPT];
        put_chat_char(w, cell & CODE_MASK, static_cast<short>(cell >> CELL_PAIR_SHIFT));
    }
    wattrset(w, COLOR_PAIR(screen.chat_pair));
}

void free_windows() {
    for (WINDOW** w : {&screen.status_win, &screen.chat_win, &screen.prompt_win}) {
        if (*w != nullptr) delwin(*w);
        *w = nullptr;
    }
}

void show_refresh(WINDOW* window) {
    if (window == nullptr) return;
    redrawwin(window);
    wrefresh(window);
}

void show_too_small() {
    char note[64];
    werase(stdscr);
    format_too_small(note, sizeof note, COLS);
    mvwaddnstr(stdscr, 0, 0, note, COLS);
    wrefresh(stdscr);
}

}  // namespace

void screen_setup() {
    if (!process.device_mode) return;  // door mode: the terminal is the line
    setlocale(LC_CTYPE, "");           // the terminal's character set, for curses and for decoding
    // Installed before curses starts, which then leaves the signal to us: its own handler
    // reports a resize only with the next key, and the loop reads keys only when one waits.
    struct sigaction action {};
    action.sa_handler = resize_handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);
    initscr();
    screen_build();
}

void screen_build() {
    set_screen_active(true);
    static const display_hooks painters = {show_number,    show_file_name, show_done_left,
                                           show_info,      sound_bell,     screen_size,
                                           show_chat_line, show_chat_bytes};
    display_install(&painters);
    wtimeout(stdscr, 0);   // key reads never wait
    keypad(stdscr, TRUE);  // function and arrow keys arrive as single key codes
    start_color();
    noecho();
    cbreak();
    init_pair(PAIR_BAR, COLOR_WHITE, COLOR_BLUE);
    init_pair(PAIR_TAG, COLOR_WHITE, COLOR_RED);
    init_pair(PAIR_TEXT, COLOR_WHITE, COLOR_BLACK);
    init_pair(PAIR_LABEL, COLOR_CYAN, COLOR_BLACK);
    screen_lay_out(LINES, COLS);
}

void screen_follow_size() {
    if (!screen_resized || !process.screen_active) return;
    screen_resized = 0;
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return;
    screen_lay_out(size.ws_row, size.ws_col);
}

void screen_suspend() {
    if (process.screen_active) endwin();
}

void screen_resume() {
    if (!process.screen_active) return;
    // The shell had the terminal meanwhile: its size may be new, and what it shows is its own.
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row != 0 && size.ws_col != 0)
        screen_lay_out(size.ws_row, size.ws_col);
    else
        screen_lay_out(LINES, COLS);
}

void screen_lay_out(int lines, int columns) {
    if (!process.screen_active) return;
    take_input(screen.input_kept, sizeof screen.input_kept);
    free_windows();
    if (lines != LINES || columns != COLS) resizeterm(lines, columns);
    screen.layout = compute_layout(LINES, COLS);
    if (screen.layout.too_small) {
        show_too_small();
        return;
    }
    // The blank stdscr goes out first: refreshed after the windows it would erase them again.
    werase(stdscr);
    clearok(stdscr, TRUE);
    wrefresh(stdscr);
    const screen_layout& l = screen.layout;
    screen.status_win = newwin(l.status_rows, l.columns, 0, 0);
    screen.chat_win = newwin(l.chat_rows, l.columns, l.chat_top, 0);
    screen.prompt_win = newwin(l.prompt_rows, l.columns, l.prompt_top, 0);
    paint_status();
    wrefresh(screen.status_win);
    paint_chat();
    wrefresh(screen.chat_win);
    build_input(screen.input_kept);
    screen.input_kept[0] = '\0';
    wattrset(screen.prompt_win, COLOR_PAIR(PAIR_TEXT));
    draw_prompt_bar();
}

void show_number(int row, int column, int64_t value) {
    if (!process.screen_active) return;
    keep_figure(row, column, value);
    if (screen.status_win == nullptr) return;
    paint_figure(kept_figure{row, column, value});
    wrefresh(screen.status_win);
}

void show_file_name(int column, const char* path) {
    if (!process.screen_active) return;
    char* kept = column == DOWNLOAD_COLUMN ? screen.download_name : screen.upload_name;
    const char* slash = path != nullptr ? strrchr(path, '/') : nullptr;
    printable_name(kept, NAME_KEPT, path == nullptr ? "" : slash != nullptr ? slash + 1 : path);
    if (screen.status_win == nullptr) return;
    paint_name(column);
    wrefresh(screen.status_win);
}

void show_done_left(int column, const char* text) {
    if (!process.screen_active) return;
    char* kept = done_kept(column);
    if (strncmp(kept, text, DONE_KEPT) == 0) return;  // the same as shown: nothing to draw
    snprintf(kept, DONE_KEPT, "%s", text);
    if (screen.status_win == nullptr) return;
    paint_done_left(column);
    wrefresh(screen.status_win);
}

void screen_size(int* columns, int* lines) {
    *columns = process.screen_active ? COLS : 0;
    *lines = process.screen_active ? LINES : 0;
}

void chat_out(uint8_t byte) {
    if (!process.screen_active) return;
    int passed = chat_filter(&screen.escape_filter, byte);
    if (passed < 0) return;
    uint32_t codes[4];
    int n = utf8_feed(&screen.chat_decoder, static_cast<uint8_t>(passed), true, codes);
    for (int i = 0; i < n; ++i)
        if (!is_c1(codes[i])) chat_put(codes[i]);
}

void chat_put(uint32_t code) {
    if (!process.screen_active) return;
    screen.chat_cells[screen.chat_next] = code | static_cast<uint32_t>(screen.chat_pair)
                                                     << CELL_PAIR_SHIFT;
    if (++screen.chat_next == CHAT_KEPT) {
        screen.chat_next = 0;
        screen.chat_full = true;
    }
    if (screen.chat_win != nullptr) put_chat_char(screen.chat_win, code, screen.chat_pair);
}

void draw_prompt_bar() {
    if (!process.screen_active || screen.prompt_win == nullptr) return;
    wrefresh(screen.chat_win);
    input_request(REQ_VALIDATION);
    char bar[bar_size];
    format_bar(bar, sizeof bar, screen.input_mode, auto_exit_on(), screen.beeper_off,
               getmaxx(screen.prompt_win), screen.exit_countdown);
    put_text(screen.prompt_win, 0, 0, bar, PAIR_BAR);
    wattrset(screen.prompt_win, COLOR_PAIR(PAIR_TEXT));
    redraw_prompt();
}

void screen_follow_auto_exit() {
    int left = auto_exit_seconds_left();
    if (left == screen.exit_countdown) return;
    screen.exit_countdown = left;
    draw_prompt_bar();
}

void sound_bell() {
    if (!process.screen_active || screen.beeper_off != 0) return;
    fputc(7, stderr);  // unbuffered: the terminal beeps at once
}

void screen_close() {
    if (!process.screen_active) return;  // curses never started: door mode, an early end
    sleep(screen_hold_s);
    // The display's rows are cells written with blanks (curses never erases with our black
    // background), and a terminal resized meanwhile (tmux) brings some of them back onto the
    // shell's screen when the display ends. Erased first, the shell's screen comes back as
    // it was, as a pager leaves it.
    char* clear = tigetstr("clear");
    if (clear != nullptr && clear != reinterpret_cast<char*>(-1)) {
        putp(clear);
        fflush(stdout);
    }
    endwin();
    set_screen_active(false);
}

bool screen_too_small() { return process.screen_active && screen.layout.too_small; }

void redraw_screen() {
    if (!process.screen_active) return;
    if (screen.layout.too_small) {
        show_too_small();
        return;
    }
    show_refresh(stdscr);
    show_refresh(screen.status_win);
    show_refresh(screen.chat_win);
    redraw_prompt();
}

void set_chat_pair(short pair) {
    if (!process.screen_active) return;
    screen.chat_pair = pair;
    if (screen.chat_win != nullptr) wattrset(screen.chat_win, COLOR_PAIR(pair));
}

void paint_tagged_line(const char* tag, const char* const* parts, int count) {
    if (!process.screen_active) return;
    set_chat_pair(PAIR_TAG);
    for (const char* p = tag; *p != '\0'; ++p) chat_put(static_cast<uint8_t>(*p));
    set_chat_pair(PAIR_TEXT);
    // Our own text, names included: decoded, never translated or filtered but for C1.
    uint32_t codes[4];
    auto put = [&codes](int n) {
        for (int i = 0; i < n; ++i)
            if (!is_c1(codes[i])) chat_put(codes[i]);
    };
    for (int i = 0; i < count; ++i) {
        utf8_decoder decoder;
        for (const char* p = parts[i]; *p != '\0'; ++p)
            put(utf8_feed(&decoder, static_cast<uint8_t>(*p), false, codes));
        put(utf8_flush(&decoder, false, codes));
    }
    if (screen.chat_win != nullptr) wrefresh(screen.chat_win);
    draw_prompt_bar();
}

void set_beeper_off() { screen.beeper_off = 1; }

void show_chat_line(const uint8_t* bytes, int length) {
    if (!process.screen_active) return;
    if (length > 0 && has_control_byte(bytes, length) != 0) {
        for (int i = 0; i < length; ++i) chat_out(bytes[i]);
        chat_out(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    chat_char chars[CHAT_LINE_SIZE + 1];
    int count = decode_line(bytes, length, chars, CHAT_LINE_SIZE + 1);
    if (count == 0) {
        chat_put(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    int width = screen.chat_win != nullptr ? getmaxx(screen.chat_win) : CHAT_WIDTH;
    int position = 0;
    while (position < count) {
        int piece = wrap_piece(chars + position, count - position, width);
        for (int i = 0; i < piece; ++i) chat_put(chars[position + i].code);
        position += piece;
        if (position < count && chars[position].code == ' ') ++position;
        chat_put(BYTE_LF);
        draw_prompt_bar();
    }
}

void show_chat_bytes(const uint8_t* bytes, int length) {
    for (int i = 0; i < length; ++i) chat_out(bytes[i]);
    draw_prompt_bar();
}

void show_info(const char* text, const char* detail) {
    char shown[PATH_SIZE];  // the detail is mostly a name, maybe the peer's
    printable_name(shown, sizeof shown, detail);
    const char* parts[] = {" ", text, " (", shown, ")\n"};
    if (shown[0] == '\0') parts[2] = "\n";  // no detail: no empty parentheses
    paint_tagged_line("<INFO>", parts, shown[0] == '\0' ? 3 : 5);
}
