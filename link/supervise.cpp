#include "link/supervise.h"

#include <unistd.h>

#include <cstring>

#include "link/codec.h"
#include "serial/port.h"
#include "serial/process.h"

termination_state termination;
void (*on_peer_goodbye)() = nullptr;

namespace {

constexpr uint8_t CTRL_C = 3;
constexpr int goodbye_write_s = 2;  // a line that takes nothing this long is dead

// Standard error is unbuffered; failures to write it are of no consequence here.
void say(const char* text) {
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

}  // namespace

const char* goodbye_wait() {
    // The goodbye is out: waking for a writable line would only spin.
    serial.want_write = false;
    time_t start = serial.clock;
    time_t last_byte_time = serial.clock;
    uint8_t before = 0;
    for (;;) {
        clock_update();
        if (serial.clock - start >= goodbye_total_s || serial.clock - last_byte_time >= goodbye_idle_s)
            return "time-out\r\n";
        if (key_waiting() && read_console_key() == CTRL_C) return "cancelled\r\n";
        uint8_t byte = 0;
        if (port_read(&byte, 1) == 0) {
            wait_for_input();
            continue;
        }
        last_byte_time = serial.clock;
        if (byte == '|' && before == '{') return "ok.\r\n";
        before = byte;
    }
}

void supervise() {
    if (serial.carrier_mode != 0) {
        if (carrier_present()) {
            termination.carrier_seen_time = serial.clock;
        } else if (serial.clock - termination.carrier_seen_time > carrier_grace_s) {
            link_fail("Carrier lost.", 0, 1);
        }
    }
    if (serial.clock - termination.last_check_clock > clock_jump_s) codec.last_rx_time = serial.clock;
    termination.last_check_clock = serial.clock;
    if (codec.link_interrupted == 0 && serial.clock - codec.last_rx_time > silence_timeout_s)
        link_fail("ZARN data link time-out.", 1, 1);
    if (termination.break_flag) link_fail("Ctrl+C pressed.", 1, 0);
}

void link_fail(const char* message, int level, int pause) {
    console_drain();
    termination.fail_message = message;
    termination.termination_level = level;
    termination.pause_flag = pause;
    end_run(process.exit_status);
}

void link_terminate() {
    say("\r\n");
    say(termination.fail_message);
    say("\r\n");
    if (termination.termination_level > 0) {
        // A half-sent chunk goes out first: the goodbye inside an escape pair reads as data.
        codec_flush_pending();
        port_write_all(reinterpret_cast<const uint8_t*>(termination_sequence),
                       sizeof termination_sequence - 1, goodbye_write_s);
        clock_update();
    }
    if (termination.termination_level > 1) {
        say("Waiting for ZARN termination... ");
        say(goodbye_wait());
    }
    port_close();
    if (termination.pause_flag) {
        clock_update();
        time_t start = serial.clock;
        while (serial.clock - start < failure_pause_s) {
            usleep(WAIT_FOR_INPUT_US);
            clock_update();
        }
    }
}
