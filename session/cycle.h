// The session's service cycle, the control channel and the end of the session.
//
// Interface summary:
//   service_cycle () -> 1 when a key is waiting, else 0
//   session_work ()         the steps between the cycle's two link pumps, in their order:
//                           control, status, requests, file data and offers both ways,
//                           status letters, the end test
//   session_report ()       the steps after the second pump: chat received, statistics,
//                           the --progress line
//   send_opening_block (beeper_off)   once, before the first cycle
//   control_receiver ()     consumes receive channel 0
//   control_send (letter)   one control letter to the peer; dropped when it does not fit
//   announce_profile ()     our profile letter goes to the peer in the next cycle (-v)
//   yell_silence ()         a running yell alarm stops (any key)
//   check_session_end ()    may end the run with the exit status
//   follow_peer_goodbye ()  after the peer's goodbye: the status letters delivered before it
//                           acted on, then the run ends (link_peer_left)
//   auto_exit_seconds_left () -> seconds until the session may end by itself (0: it may),
//                           -1 when it does not end by itself now (no -E or -e, files under way)
//   follow_relink ()        the link must go back to the handshake (our echo, a restarted
//                           peer, no frame after link-up): the session ends as at a lost
//                           carrier, files under way kept to resume, and starts again on
//                           the new link

#pragma once

#include <cstdint>
#include <ctime>

#include "session/records.h"

constexpr int no_transfer_exit_s = 120;  // no automatic exit this soon without any transfer
constexpr int yell_beeps = 30;
constexpr int CONTROL_BUFFER_SIZE = 40;
constexpr int silent_shown_s = 8;  // "Peer silent for N s" from this on: past a keep-alive

struct cycle_state {
    // Control receiver.
    uint8_t control_state = '*';  // the message letter whose argument comes next, or idle (0)
    uint8_t control_buffer[CONTROL_BUFFER_SIZE] = {};  // the opening block or a text so far
    int control_pos = 0;                               // bytes of it
    uint8_t peer_block[4] = {};                        // the peer's opening block
    int8_t peer_columns = 80;
    char peer_text[CONTROL_BUFFER_SIZE] = "";
    int profile_echo_pending = 0;  // our profile letter is still to be sent
    bool profile_chosen = false;   // -v: every new link hears it
    int yell_count = 0;            // beeps of the peer's yell still to sound, one a second

    // The echo check (records.h: echo_check): the peer's opening block waits for its probe.
    uint64_t own_probe = 0;          // the random number of ours
    bool probe_due = false;          // ours is to be sent
    bool awaiting_probe = false;     // the peer's opening came; its probe not yet
    session_features peer_features;  // what that opening announced
    int beeper_off = 0;              // as the first opening block said, for the next ones
    int silent_shown = 0;            // seconds of "Peer silent" last shown, 0: none
};

extern cycle_state cycle;

int service_cycle();
void session_work();
void session_report();
void send_opening_block(int beeper_off);
void control_receiver();
void control_send(uint8_t letter);
void announce_profile();
void yell_silence();
void check_session_end();
void follow_peer_goodbye();
int auto_exit_seconds_left();
void follow_relink();
