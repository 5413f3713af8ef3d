// Temporary stand-ins so that the program runs end to end while the subsystems
// they stand for are being built. Each one is deleted when the real one lands.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/app.h"
#include "app/settings.h"
#include "files/entries.h"
#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/receive.h"
#include "session/send.h"
#include "ui/keys.h"
#include "ui/screen.h"

// link
const uint8_t link_banner[14] = {0x19, 'K', 'E', 'S', 'T', 'R', 'O', 0x18, ' ', 'v', '1', '.', '0', ' '};
establish_state establish;
int link_establish(const uint8_t*, uint8_t, const char* device_path, int32_t line_speed,
                   int carrier_mode, char flow_letter, int, int mode_word) {
    termination = termination_state{};
    termination.carrier_mode = carrier_mode;
    codec.link_mode = mode_word;
    console_message("Initializing ZARN data link. Press Ctrl+C to cancel.\r\n");
    if (port_open(device_path, line_speed, flow_letter) == PORT_OPEN_FAILED) {
        fputs("Error initializing rs-port.\r\n", stderr);
        exit(20);
    }
    atexit(link_terminate);
    clock_update();
    codec.last_rx_time = serial.clock;
    supervise();
    return 0;
}

// session
cycle_state cycle;

// ui
screen_state screen;
void screen_setup() {}
void main_loop() {
    for (;;) {
        clock_update();
        supervise();
        if (key_waiting() && read_console_key() == 3) exit(settings.exit_status);
        uint8_t byte;
        while (port_read(&byte, 1) == 1) codec.last_rx_time = serial.clock;
        wait_for_input();
    }
}
