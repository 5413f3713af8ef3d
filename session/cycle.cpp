#include "session/cycle.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "link/channels.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/failure.h"
#include "link/pump.h"
#include "link/relink.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/display.h"
#include "session/figures.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/records.h"
#include "session/send.h"
#include "session/stall.h"
#include "session/stats.h"
#include "session/status.h"

cycle_state cycle;
display_hooks display;

void display_install(const display_hooks* hooks) { display = *hooks; }

namespace {

constexpr uint8_t STATE_OPENING = '*';  // still collecting the 4-byte opening block
constexpr uint8_t STATE_IDLE = 0;

// A letter earlier in the profile order than ours is answered, so both ends take it.
void negotiate_profile(char letter) {
    if (profile_rank(letter) < profile_rank(profile_letter())) cycle.profile_echo_pending = 1;
    set_profile(letter);
}

// The peer's opening block: a peer that takes part in the echo check is taken for one only
// once its probe came, and the session does nothing with it before.
void peer_opening(const uint8_t* block) {
    session_features features = parse_opening(block);
    if (!(announcement.own.echo_check && features.echo_check)) {
        peer_announced(features);
        return;
    }
    cycle.peer_features = features;
    cycle.awaiting_probe = true;
    cycle.probe_due = true;
}

void peer_probe(const uint8_t* digits) {
    uint64_t number = 0;
    if (!cycle.awaiting_probe || !parse_probe(digits, &number)) return;
    cycle.awaiting_probe = false;
    if (number == cycle.own_probe) {
        relink_echo();  // what came back is what we sent
        return;
    }
    peer_announced(cycle.peer_features);
}

uint64_t random_probe() {
    uint64_t number = 0;
    if (getrandom(&number, sizeof number, GRND_NONBLOCK) != sizeof number)
        number = static_cast<uint64_t>(serial.clock_ms) * 0x9E3779B97F4A7C15ULL ^
                 static_cast<uint64_t>(getpid());
    return number;
}

void control_byte(uint8_t b) {
    switch (cycle.control_state) {
    case STATE_OPENING:
        cycle.control_buffer[cycle.control_pos++] = b;
        if (cycle.control_pos == static_cast<int>(sizeof cycle.peer_block)) {
            for (int i = 0; i < cycle.control_pos; ++i)
                cycle.peer_block[i] = cycle.control_buffer[i];
            peer_opening(cycle.peer_block);
            cycle.control_state = STATE_IDLE;
        }
        return;
    case MSG_PROBE:
        cycle.control_buffer[cycle.control_pos++] = b;
        if (cycle.control_pos < PROBE_DIGITS) return;
        peer_probe(cycle.control_buffer);
        break;
    case STATE_IDLE:
        if (b == MSG_COLUMNS || b == MSG_LINES || b == MSG_PROFILE || b == MSG_TEXT || b == MSG_S ||
            b == MSG_PROBE) {
            cycle.control_pos = 0;
            cycle.control_state = b;
        } else if (b == MSG_YELL) {
            cycle.yell_count = yell_beeps;
        }
        return;
    case MSG_COLUMNS: cycle.peer_columns = static_cast<int8_t>(b); break;
    case MSG_LINES: chat.peer_lines = static_cast<int8_t>(b); break;
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

void send_opening_block(int beeper_off) {
    cycle.beeper_off = beeper_off;
    if (cycle.own_probe == 0) cycle.own_probe = random_probe();
    opening_options opening{.serves = session.serve_requests != 0,
                            .accepts = session.accept_uploads != 0,
                            .beeper = beeper_off == 0};
    display.screen_size(&opening.columns, &opening.lines);  // without a screen both stay 0
    uint8_t block[OPENING_MAX];
    int n = build_opening(block, announcement.own, opening);
    if (send_room(CH_CONTROL) >= n) send_write(CH_CONTROL, block, n);
}

void control_receiver() {
    uint8_t b = 0;
    while (recv_queued(CH_CONTROL) > 0 && recv_read(CH_CONTROL, &b, 1) == 1) control_byte(b);
    if (cycle.probe_due && send_room(CH_CONTROL) >= PROBE_SIZE) {
        cycle.probe_due = false;
        uint8_t probe[PROBE_SIZE];
        send_write(CH_CONTROL, probe, build_probe(probe, cycle.own_probe));
    }
    if (cycle.profile_echo_pending && send_room(CH_CONTROL) >= 2) {
        cycle.profile_echo_pending = 0;
        const uint8_t answer[2] = {MSG_PROFILE, static_cast<uint8_t>(profile_letter())};
        send_write(CH_CONTROL, answer, 2);
    }
}

void control_send(uint8_t letter) { send_write(CH_CONTROL, &letter, 1); }

void announce_profile() {
    cycle.profile_echo_pending = 1;
    cycle.profile_chosen = true;
}

void yell_silence() { cycle.yell_count = 0; }

namespace {

// Files under way, which hold the end of the session: accepted and not yet received or
// confirmed; and while both ends check whole files, a file hashed for its offer, an offer
// whose answer waits for the peer's hash, a file waiting to be offered again.
bool files_under_way() {
    if (receiving.stream.figures.files_left > 0 || sending.stream.figures.files_left > 0)
        return true;
    // After an abort, files come again (`reoffer`): the session waits for their offers.
    if (reoffers_due() || reoffer_awaited()) return true;
    if (!announcement.used.extended) return false;
    return offer_hash_due() || receive_hash_due() || sending.offered_queue.head != nullptr ||
           receiving.retry_queue.head != nullptr;
}

}  // namespace

void check_session_end() {
    if (files_under_way()) {
        activity.last_activity_time = serial.clock;
        return;
    }
    if (session.auto_exit_flags == 0) return;
    if (!activity.activity_seen && serial.clock - activity.last_activity_time < no_transfer_exit_s)
        return;
    if ((session.auto_exit_flags & AUTO_EXIT_CHAT) &&
        serial.clock - chat.last_chat_time < session.chat_idle_seconds)
        return;
    if ((session.auto_exit_flags & AUTO_EXIT_IDLE) &&
        serial.clock - activity.last_activity_time < session.idle_exit_seconds)
        return;
    // The last status letters must have reached the peer.
    if (send_queued(CH_STATUS) != 0) return;
    link_session_done();  // an orderly end: the goodbye waits behind our output
    end_run(process.exit_status);
}

int auto_exit_seconds_left() {
    if (session.auto_exit_flags == 0 || files_under_way()) return -1;
    time_t since_activity = serial.clock - activity.last_activity_time;
    time_t left = 0;
    if (!activity.activity_seen) left = std::max<time_t>(left, no_transfer_exit_s - since_activity);
    if (session.auto_exit_flags & AUTO_EXIT_CHAT)
        left = std::max<time_t>(left,
                                session.chat_idle_seconds - (serial.clock - chat.last_chat_time));
    if (session.auto_exit_flags & AUTO_EXIT_IDLE)
        left = std::max<time_t>(left, session.idle_exit_seconds - since_activity);
    return static_cast<int>(std::max<time_t>(left, 0));
}

void session_work() {
    watch_line();  // first: a file may land whole and be closed in this very cycle
    control_receiver();
    // Nothing is served, answered, written or confirmed before the peer is known to be one:
    // a line that echoes would hand us our own requests, offers and letters.
    if (peer_opened()) {
        status_receiver();
        serve_request();
        send_requests();
        receive_data();
        decide_offer();
        send_offers();
        send_data();
        watch_stalls();  // before the status sender: an abort's letter goes in this cycle
        status_sender();
    }
    check_session_end();
}

void follow_relink() {
    const relink_reason why = relink_check();
    if (why == RELINK_NONE) return;
    if (why == RELINK_ECHO && relink_tell_echo())
        display.info("The line echoes what we send: waiting for the peer", "");
    if (peer_opened()) {
        downloads_peer_lost();
        uploads_peer_lost();
    }
    peer_gone();
    if (why == RELINK_RESTARTED) display.info("The peer started anew: linking again", "");
    link_rehandshake(why);
    const int beeper_off = cycle.beeper_off;
    const bool profile_chosen = cycle.profile_chosen;
    cycle = cycle_state{};
    // A new peer hears the profile of -v anew, as the first did.
    if (profile_chosen) announce_profile();
    activity_restart();
    send_opening_block(beeper_off);
}

// From a few seconds without a good frame on, the display says for how long.
void show_silence() {
    const int silent = peer_silent_s();
    if (silent < silent_shown_s) {
        if (cycle.silent_shown != 0) display.info("The peer is heard again", "");
        cycle.silent_shown = 0;
        return;
    }
    if (silent == cycle.silent_shown) return;
    // A line a second would fill the chat window: the first, then every 10 s.
    const bool first = cycle.silent_shown == 0;
    cycle.silent_shown = silent;
    if (!first && silent % 10 != 0) return;
    char text[48];
    snprintf(text, sizeof text, "Peer silent for %d s", silent);
    display.info(text, "");
}

// The peer's goodbye ends the run, once the status letters that came before it were taken:
// its last "c" confirms a file, and the exit status then has nothing outstanding for it.
void follow_peer_goodbye() {
    if (!peer_said_goodbye()) return;
    drain_status_channel();
    link_peer_left();
}

void session_report() {
    // Chat waits for the peer as the transfers do: an echo would show our lines as its.
    if (peer_opened()) {
        show_silence();
        chat_receive();
    }
    if (refresh_statistics() && cycle.yell_count > 0) {
        cycle.yell_count -= 1;  // the peer's yell: one beep a second
        display.beep();
    }
    progress_tick();
}

int service_cycle() {
    if (key_waiting()) return 1;
    link_pump();
    follow_peer_goodbye();
    follow_relink();
    session_work();
    follow_relink();
    link_pump();
    follow_peer_goodbye();
    follow_relink();
    session_report();
    if (key_waiting()) {
        yell_silence();
        return 1;
    }
    // A file being hashed is work of our own: the cycle comes round again at once.
    if (!offer_hash_due() && !stream_hash_due() && !receive_hash_due()) wait_for_input();
    return 0;
}
