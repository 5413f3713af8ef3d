#include "session/cycle.h"

#include <ncurses.h>

#include <cstdlib>

#include "app/app.h"
#include "app/settings.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "serial/port.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "ui/chat.h"
#include "ui/screen.h"

cycle_state cycle;
const uint8_t own_block[4] = {0, 0, 0, 0};

namespace {

// Control message letters.
constexpr uint8_t MSG_COLUMNS = 'C';   // one byte: the peer's screen columns
constexpr uint8_t MSG_LINES = 'L';     // one byte: the peer's screen lines (below 0: chat off)
constexpr uint8_t MSG_PROFILE = 'M';   // one byte: a link profile letter
constexpr uint8_t MSG_TEXT = 'P';      // text up to a NUL
constexpr uint8_t MSG_S = 'S';         // one byte, no effect
constexpr uint8_t MSG_YELL = 'Y';      // no argument: the peer wants attention
constexpr uint8_t MSG_SERVES = 'D';    // we serve download requests
constexpr uint8_t MSG_ACCEPTS = 'U';   // we accept offered files
constexpr uint8_t MSG_BEEPER = 'q';    // our beeper is on
constexpr uint8_t STATE_OPENING = '*'; // still collecting the 4-byte opening block
constexpr uint8_t STATE_IDLE = 0;
constexpr int INTERNAL_ERROR_CONTROL = 5;
constexpr int AUTO_EXIT_IDLE = 1;  // -E: idle_exit_seconds without transfer activity
constexpr int AUTO_EXIT_CHAT = 2;  // -e: chat_idle_seconds without a local chat line

// Position of a letter in the profile order: unknown letters before "T", NUL after "H".
int profile_rank(char letter) {
    if (letter == '\0') return static_cast<int>(sizeof profile_order) - 1;
    for (int i = 0; profile_order[i] != '\0'; ++i)
        if (profile_order[i] == letter) return i;
    return -1;
}

void negotiate_profile(char letter) {
    if (profile_rank(letter) < profile_rank(delivery.profile_letter)) cycle.profile_echo_pending = 1;
    set_profile(letter);
}

void control_byte(uint8_t b) {
    switch (cycle.control_state) {
        case STATE_OPENING:
            cycle.control_buffer[cycle.control_pos++] = b;
            if (cycle.control_pos == static_cast<int>(sizeof cycle.peer_block)) {
                for (int i = 0; i < cycle.control_pos; ++i) cycle.peer_block[i] = cycle.control_buffer[i];
                cycle.control_state = STATE_IDLE;
            }
            return;
        case STATE_IDLE:
            if (b == MSG_COLUMNS || b == MSG_LINES || b == MSG_PROFILE || b == MSG_TEXT || b == MSG_S) {
                cycle.control_pos = 0;
                cycle.control_state = b;
            } else if (b == MSG_YELL) {
                cycle.yell_count = yell_beeps;
            }
            return;
        case MSG_COLUMNS: cycle.peer_columns = static_cast<int8_t>(b); break;
        case MSG_LINES: cycle.peer_lines = static_cast<int8_t>(b); break;
        case MSG_PROFILE: negotiate_profile(static_cast<char>(b)); break;
        case MSG_TEXT:
            if (cycle.control_pos >= CONTROL_BUFFER_SIZE) internal_error_exit(INTERNAL_ERROR_CONTROL);
            cycle.control_buffer[cycle.control_pos++] = b;
            if (b != 0) return;
            for (int i = 0; i < cycle.control_pos; ++i)
                cycle.peer_text[i] = static_cast<char>(cycle.control_buffer[i]);
            break;
        default: break;  // 'S': its byte has no effect
    }
    cycle.control_state = STATE_IDLE;
}

}  // namespace

void send_opening_block() {
    uint8_t block[16];
    int n = 0;
    for (uint8_t b : own_block) block[n++] = b;
    if (settings.serve_requests) block[n++] = MSG_SERVES;
    if (settings.accept_uploads) block[n++] = MSG_ACCEPTS;
    if (!settings.beeper_off) block[n++] = MSG_BEEPER;
    block[n++] = MSG_S;
    block[n++] = MSG_LINES;  // the argument of "S", skipped by the receiver
    // Without a screen (door mode) both counts are 0.
    block[n++] = MSG_COLUMNS;
    block[n++] = static_cast<uint8_t>(screen.screen_active ? COLS : 0);
    block[n++] = MSG_LINES;
    block[n++] = static_cast<uint8_t>(screen.screen_active ? LINES : 0);
    if (send_room(CH_CONTROL) >= n) send_write(CH_CONTROL, block, n);
}

void control_receiver() {
    uint8_t b = 0;
    while (recv_queued(CH_CONTROL) > 0 && recv_read(CH_CONTROL, &b, 1) == 1) control_byte(b);
    if (cycle.profile_echo_pending && send_room(CH_CONTROL) >= 2) {
        cycle.profile_echo_pending = 0;
        const uint8_t answer[2] = {MSG_PROFILE, static_cast<uint8_t>(delivery.profile_letter)};
        send_write(CH_CONTROL, answer, 2);
    }
}

void check_session_end() {
    if (receiving.figures.files_left > 0 || sending.figures.files_left > 0) {
        cycle.last_activity_time = serial.clock;
        return;
    }
    if (settings.auto_exit_flags == 0) return;
    if (!cycle.activity_seen && serial.clock - cycle.last_activity_time < no_transfer_exit_s) return;
    if ((settings.auto_exit_flags & AUTO_EXIT_CHAT) && serial.clock - cycle.last_chat_time < settings.chat_idle_seconds)
        return;
    if ((settings.auto_exit_flags & AUTO_EXIT_IDLE) &&
        serial.clock - cycle.last_activity_time < settings.idle_exit_seconds)
        return;
    // The last status letters must have reached the peer.
    if (send_queued(CH_STATUS) != 0) return;
    exit(settings.exit_status);
}

int service_cycle() {
    if (key_waiting()) return 1;
    link_pump();
    control_receiver();
    status_receiver();
    serve_request();
    send_requests();
    receive_data();
    decide_offer();
    send_offers();
    send_data();
    status_sender();
    check_session_end();
    link_pump();
    chat_receive();
    refresh_statistics();
    if (key_waiting()) {
        cycle.yell_count = 0;
        return 1;
    }
    wait_for_input();
    return 0;
}
