// The link's one way out: a failure records how far the end of the link goes, then the run
// ends. The termination itself (link/supervise.h) runs later, among the clean-ups.
//
// Interface summary:
//   link_fail (message, level, pause)  records the failure, ends the run with the exit
//                                      status; never returns
//   link_session_done ()               the session ended by itself: the goodbye waits behind
//                                      everything we queued
//   link_peer_left ()                  the peer's goodbye ended the link: "ZARN data link
//                                      terminated.", ours not waited for; never returns
#pragma once

#include <cstdint>
#include <ctime>

// How far the end of the link goes: its termination level.
enum goodbye_level : int {
    CLOSE_PORT_ONLY = 0,  // the line is gone: no goodbye
    SEND_GOODBYE = 1,     // the goodbye, not waited for
    AWAIT_GOODBYE = 2,    // the goodbye, then the peer's
};

// Whether the end pauses to keep a failure message readable.
enum failure_pause : int { NO_PAUSE = 0, PAUSE_AFTER = 1 };

struct termination_state {
    const char* fail_message = "ZARN data link closed.";  // said as the link ends
    goodbye_level termination_level = AWAIT_GOODBYE;
    failure_pause pause_flag = NO_PAUSE;
    time_t carrier_seen_time = 0;  // the last clock second the carrier was present
    time_t last_check_clock = 0;   // the clock at the last supervision: a jump shows there
    // The session ended by itself: everything we queued, status letters included, still
    // goes out before the goodbye. Any other end drops our unsent output first.
    bool session_done = false;
    uint8_t last_heard = 0;     // the peer's last byte while we end
    bool peer_goodbye = false;  // its `{|` came while ours waited to go out
};

extern termination_state termination;

[[noreturn]] void link_fail(const char* message, goodbye_level level, failure_pause pause);
void link_session_done();
[[noreturn]] void link_peer_left();
