#include "ui/keys.h"

#include <cstdint>

#include "files/scan.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "ui/chat.h"
#include "ui/glyphs.h"
#include "ui/screen.h"

namespace {

// Command keys.
constexpr int KEY_CTRL_A = 1;   // help
constexpr int KEY_CTRL_D = 4;   // names to request
constexpr int KEY_LF = 10;      // Enter
constexpr int KEY_CTRL_L = 12;  // redraw
constexpr int KEY_CR = 13;      // Enter on terminals that send CR
constexpr int KEY_CTRL_N = 14;  // beeper on/off
constexpr int KEY_CTRL_U = 21;  // names to send
constexpr int KEY_CTRL_X = 24;  // exit now
constexpr int KEY_CTRL_Y = 25;  // yell
constexpr int KEY_CTRL_Z = 26;  // stop, as the shell's Ctrl+Z: the raw console sends no signal

// The input field holds at most four rows of a wide terminal; longer text is cut here.
constexpr int INPUT_TEXT_SIZE = CHAT_LINE_SIZE + 1;

void finish_input_line() {
    char text[INPUT_TEXT_SIZE];
    input_text(text, sizeof text);
    trim_trailing_blanks(text);
    switch (screen.input_mode) {
    case INPUT_UPLOAD:
        add_upload_words(text);
        set_input_mode(INPUT_CHAT);
        break;
    case INPUT_DOWNLOAD:
        add_request_words(text);
        set_input_mode(INPUT_CHAT);
        break;
    default: {
        char line[INPUT_TEXT_SIZE];
        locale_to_utf8(text, line, sizeof line);  // chat goes out in UTF-8, names as typed
        set_chat_pair(PAIR_LABEL);                // the local user's own lines in cyan
        send_chat_line(line);
        set_chat_pair(PAIR_TEXT);
        input_clear();
        redraw_prompt();
        break;
    }
    }
}

}  // namespace

void handle_key() {
    int key = read_key();
    yell_silence();  // any key silences a running yell alarm
    handle_key_code(key);
}

void handle_key_code(int key) {
    if (key == ERR) return;
    if (screen_too_small() && key != KEY_CTRL_X) return;  // nothing to type into: only the exit key
    int request = key_to_request(key);
    if (request != 0) {
        input_request(request);
    } else {
        switch (key) {
        case KEY_CTRL_A: show_help(); break;
        case KEY_CTRL_D: set_input_mode(INPUT_DOWNLOAD); break;
        case KEY_LF:
        case KEY_CR: finish_input_line(); break;
        case KEY_CTRL_L: redraw_screen(); break;
        case KEY_CTRL_N: toggle_beeper(); break;
        case KEY_CTRL_U: set_input_mode(INPUT_UPLOAD); break;
        case KEY_CTRL_X: end_run(EXIT_BY_USER);  // outstanding transfers do not change the code
        case KEY_CTRL_Y: control_send(MSG_YELL); break;
        case KEY_CTRL_Z: suspend_requested = 1; break;
        default: input_key(key); break;
        }
    }
    input_after_key();
}

void set_input_mode(int mode) {
    screen.input_mode = mode;
    input_clear();
    draw_prompt_bar();
}

void toggle_beeper() {
    if (screen.beeper_off != 0) {
        screen.beeper_off = 0;
        control_send(MSG_BEEPER);
    } else {
        screen.beeper_off = 1;
        control_send(MSG_BEEPER_OFF);
    }
    draw_prompt_bar();
}
