// Link supervision and the termination exchange (the failure path is link/failure.h).
//
// Interface summary:
//   supervise ()                    dead line, lost console, carrier, silence and
//                                   stop-signal checks; may call link_fail
//   link_terminate ()               clean-up at the end of the run: message, goodbye, wait,
//                                   port closed, pause; nothing while the port is not open
//   goodbye_wait ()                 waits for the peer's goodbye from serial.clock on;
//                                   "ok.\r\n", "time-out\r\n", "cancelled\r\n" (Ctrl+C or
//                                   a stop signal) or "carrier lost\r\n" (the line died)
#pragma once

#include "link/failure.h"

constexpr int carrier_grace_s = 1;     // carrier absent longer than this: link lost
constexpr int clock_jump_s = 30;       // a jump this large restarts the silence timer
constexpr int silence_timeout_s = 60;  // no frame end for longer than this: time-out
constexpr int goodbye_idle_s = 15;     // peer silent this long: stop waiting for its goodbye
constexpr int goodbye_total_s = 60;    // never wait longer than this for the goodbye
constexpr int failure_pause_s = 5;     // keep a failure message readable

void supervise();
void link_terminate();
const char* goodbye_wait();
