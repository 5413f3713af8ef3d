// The one fake clock of the tests: both time seams of serial/port.h read it while a test
// has it on, and reset_all_state puts the system's clocks back.
#pragma once

#include <cstdint>
#include <ctime>

struct fake_clock_state {
    time_t second = 0;  // what time_source gives
    int64_t ms = 0;     // what ms_source gives
    int step_s = 0;     // added after every reading of the seconds: a clock that runs on
};

extern fake_clock_state fake_clock;

// The seconds' seam on the fake clock, set to that second; the milliseconds stay the
// system's until a test sets them.
void use_fake_clock(time_t second, int step_s = 0);
// The fake clock moved to that moment, then clock_update; fake_clock_at_ms puts the
// milliseconds' seam on it too, the second following the milliseconds.
void fake_clock_at(time_t second);
void fake_clock_at_ms(int64_t ms);
