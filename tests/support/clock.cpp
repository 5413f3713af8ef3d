#include "support/clock.h"

#include "serial/port.h"

fake_clock_state fake_clock;

namespace {

time_t fake_seconds() {
    time_t now = fake_clock.second;
    fake_clock.second += fake_clock.step_s;
    return now;
}

int64_t fake_ms() { return fake_clock.ms; }

}  // namespace

void use_fake_clock(time_t second, int step_s) {
    fake_clock = fake_clock_state{second, int64_t{second} * 1000, step_s};
    time_source = fake_seconds;
    clock_update();
}

void fake_clock_at(time_t second) {
    fake_clock.second = second;
    clock_update();
}

void fake_clock_at_ms(int64_t ms) {
    fake_clock.ms = ms;
    ms_source = fake_ms;
    fake_clock_at(static_cast<time_t>(ms / 1000));
}
