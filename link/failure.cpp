#include "link/failure.h"

#include "serial/port.h"
#include "serial/process.h"

termination_state termination;

void link_fail(const char* message, goodbye_level level, failure_pause pause) {
    console_drain();
    termination.fail_message = message;
    termination.termination_level = level;
    termination.pause_flag = pause;
    end_run(process.exit_status);
}

void link_session_done() { termination.session_done = true; }

void link_peer_left() { link_fail("ZARN data link terminated.", SEND_GOODBYE, NO_PAUSE); }
