// Link supervision, the fatal-error path and the termination exchange.
//
// Interface summary:
//   supervise ()                    dead line, lost console, carrier, silence and
//                                   stop-signal checks; may call link_fail
//   link_fail (message, level, pause)  records the failure, ends the run with the exit
//                                   status; never returns
//   link_terminate ()               clean-up at the end of the run: message, goodbye, wait,
//                                   port closed, pause
//   goodbye_wait ()                 waits for the peer's goodbye from serial.clock on;
//                                   "ok.\r\n", "time-out\r\n", "cancelled\r\n" (Ctrl+C or
//                                   a stop signal) or "carrier lost\r\n" (the line died)
#pragma once

#include <cstdint>
#include <ctime>

constexpr int carrier_grace_s = 1;      // carrier absent longer than this: link lost
constexpr int clock_jump_s = 30;        // a jump this large restarts the silence timer
constexpr int silence_timeout_s = 60;   // no frame end for longer than this: time-out
constexpr int goodbye_idle_s = 15;      // peer silent this long: stop waiting for its goodbye
constexpr int goodbye_total_s = 60;     // never wait longer than this for the goodbye
constexpr int failure_pause_s = 5;      // keep a failure message readable

// The six bytes said to the peer at the end of every link.
constexpr char termination_sequence[] = "{}{|{}";

struct termination_state {
    const char* fail_message = "ZARN data link closed.";
    int termination_level = 2;  // 0 no goodbye, 1 goodbye, 2 goodbye and wait for the peer's
    int pause_flag = 0;
    time_t carrier_seen_time = 0;
    time_t last_check_clock = 0;
    // The session ended by itself: everything we queued, status letters included, still
    // goes out before the goodbye. Any other end drops our unsent output first.
    bool session_done = false;
    uint8_t last_heard = 0;     // the peer's last byte while we end
    bool peer_goodbye = false;  // its `{|` came while ours waited to go out
};

extern termination_state termination;

// Run when the peer's goodbye ends the link, before the exit status is taken: the session
// uses it to act on status letters that were delivered with the goodbye.
extern void (*on_peer_goodbye)();

void supervise();
[[noreturn]] void link_fail(const char* message, int level, int pause);
void link_terminate();
const char* goodbye_wait();
