#include "link/supervise.h"

#include <errno.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "link/codec.h"
#include "link/wire.h"
#include "serial/port.h"
#include "serial/process.h"

namespace {

// Standard error is unbuffered; failures to write it are of no consequence here.
void say(const char* text) { console_error(text); }

// Ends the link for a stop signal. A hang-up in door mode took the line with it: no goodbye.
// In device mode it took the console, and the peer still gets the goodbye, not waited for.
// With -t a hang-up is the carrier's loss.
[[noreturn]] void stop_link(int signal_number) {
    switch (signal_number) {
    case SIGINT: link_fail("Interrupted (SIGINT).", SEND_GOODBYE, NO_PAUSE);
    case SIGQUIT: link_fail("Quit (SIGQUIT).", SEND_GOODBYE, NO_PAUSE);
    case SIGHUP:
        if (serial.carrier_mode == CARRIER_AFTER_HANGUP)
            link_fail("Carrier lost.", CLOSE_PORT_ONLY, PAUSE_AFTER);
        link_fail("Hangup (SIGHUP).", serial.door_mode ? CLOSE_PORT_ONLY : SEND_GOODBYE, NO_PAUSE);
    default: link_fail("Terminated (SIGTERM).", SEND_GOODBYE, NO_PAUSE);
    }
}

// The goodbye of an aborted session: what of our own output the line has not sent yet is
// dropped first, so the goodbye is not given up behind a slow line's backlog. A frame cut
// short may leave a lone `{` on the wire; a peer that takes escapes would pair it with the
// goodbye's first brace, so an extra frame boundary goes first for it.
const char* abort_goodbye() {
    static const char with_boundary[] = "{}{}{|{}";
    codec.pending_count = 0;
    port_drop_output();
    return (codec.link_mode & MODE_ESC_OUT) ? with_boundary : termination_sequence;
}

// One byte from the peer while we end: true when it completes the peer's goodbye `{|`.
bool hear(uint8_t byte) {
    bool goodbye = termination.last_heard == BRACE && byte == TERMINATE;
    termination.last_heard = byte;
    if (goodbye) termination.peer_goodbye = true;
    return goodbye;
}

// Writes the goodbye. A line stopped by flow control, or still full of our frames on a slow
// line, may take it only after many seconds: it is waited for as long as the peer is heard
// (what it says meanwhile is read, and its own goodbye noted), up to the goodbye wait's
// limits. A dead line, Ctrl+C or a second stop signal give it up.
void send_goodbye(const char* goodbye) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(goodbye);
    int left = static_cast<int>(strlen(goodbye));
    clock_update();
    time_t start = serial.clock;
    time_t last_sign = serial.clock;
    while (left > 0) {
        int n = port_write(bytes, left);
        if (n > 0) {
            bytes += n;
            left -= n;
            last_sign = serial.clock;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        uint8_t heard[256];
        int got = port_read(heard, sizeof heard);
        for (int i = 0; i < got; ++i) hear(heard[i]);
        if (got > 0) last_sign = serial.clock;
        if (serial.line_gone || stop_count > 1) return;
        if (key_waiting() && read_console_key() == CTRL_C) return;
        if (serial.clock - last_sign >= goodbye_idle_s || serial.clock - start >= goodbye_total_s)
            return;
        port_want_write(true);
        if (got == 0) wait_for_input();
        clock_update();
    }
}

}  // namespace

const char* goodbye_wait() {
    // The goodbye is out: waking for a writable line would only spin.
    port_want_write(false);
    time_t start = serial.clock;
    time_t last_byte_time = serial.clock;
    for (;;) {
        if (termination.peer_goodbye) return "ok.\r\n";  // heard while ours waited to go out
        clock_update();
        if (serial.clock - start >= goodbye_total_s ||
            serial.clock - last_byte_time >= goodbye_idle_s)
            return "time-out\r\n";
        if (key_waiting() && read_console_key() == CTRL_C) return "cancelled\r\n";
        if (stop_count > 0) return "cancelled\r\n";  // a stop signal: nobody wants to wait
        if (serial.line_gone) return "carrier lost\r\n";
        uint8_t byte = 0;
        if (port_read(&byte, 1) == 0) {
            wait_for_input();
            continue;
        }
        last_byte_time = serial.clock;
        hear(byte);
    }
}

void supervise() {
    // Whatever the carrier mode: a line that reads end of file or a hang-up is gone.
    if (serial.line_gone) link_fail("Carrier lost.", CLOSE_PORT_ONLY, PAUSE_AFTER);
    // The user's terminal went away: the line is fine, so the peer gets the goodbye.
    if (serial.console_lost) link_fail("Console lost.", SEND_GOODBYE, NO_PAUSE);
    if (serial.carrier_mode != CARRIER_IGNORED) {
        if (carrier_present()) {
            termination.carrier_seen_time = serial.clock;
        } else if (serial.clock - termination.carrier_seen_time > carrier_grace_s) {
            link_fail("Carrier lost.", CLOSE_PORT_ONLY, PAUSE_AFTER);
        }
    }
    if (serial.clock - termination.last_check_clock > clock_jump_s)
        codec.last_rx_time = serial.clock;
    termination.last_check_clock = serial.clock;
    if (codec.link_interrupted == 0 && serial.clock - codec.last_rx_time > silence_timeout_s)
        link_fail("ZARN data link time-out.", SEND_GOODBYE, PAUSE_AFTER);
    if (stop_count > 0) stop_link(stop_signal);
}

void link_terminate() {
    if (!serial.is_open) return;  // the port never opened (exit 20): nobody to say goodbye to
    // A `{` that ended the codec's last read may open the peer's goodbye, whose `|` the
    // goodbye wait reads first.
    if (codec.pending_brace) termination.last_heard = BRACE;
    say("\r\n");
    say(termination.fail_message);
    say("\r\n");
    if (termination.termination_level >= SEND_GOODBYE) {
        const char* goodbye = termination_sequence;
        if (termination.session_done)
            codec_flush_pending();  // a half-sent chunk first: the goodbye inside an escape pair
                                    // reads as data
        else
            goodbye = abort_goodbye();
        send_goodbye(goodbye);
        clock_update();
    }
    if (termination.termination_level >= AWAIT_GOODBYE) {
        say("Waiting for ZARN termination... ");
        say(goodbye_wait());
    }
    port_close();
    if (termination.pause_flag) {
        clock_update();
        time_t start = serial.clock;
        while (serial.clock - start < failure_pause_s && stop_count == 0) {
            usleep(WAIT_FOR_INPUT_US);
            clock_update();
        }
    }
}
