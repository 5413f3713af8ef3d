#include "serial/lock.h"
#include "serial/port.h"
#include "serial/process.h"
#include "serial/telnet.h"
#include "support/clock.h"
#include "support/state.h"

namespace {

[[noreturn]] void throw_run_ended(int code) { throw run_ended{code}; }

// Even a test that resets nothing must never end the test program.
[[maybe_unused]] const bool seam_set = (final_exit = throw_run_ended, true);

}  // namespace

void reset_up_to_serial() {
    process = process_state{};
    final_exit = throw_run_ended;
    serial = serial_state{};
    telnet = telnet_state{};
    no_hangup_flag = 1;
    time_source = system_time_source;
    ms_source = system_ms_source;
    fake_clock = fake_clock_state{};
    port_lock_files = port_lock_state{};
    stop_signal = 0;
    stop_count = 0;
    suspend_requested = 0;
}
