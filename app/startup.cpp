#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app/app.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/cycle.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "ui/keys.h"
#include "ui/screen.h"

void print_title() { printf("Kestro V1.0/Linux - ported by Varkas\n\n"); }

void open_transfer_log() {
    stats.log_fd = -1;
    if (stats.log_path == nullptr) return;
    // Truncated: lines of an earlier, longer run must not trail this run's lines.
    stats.log_fd = open(stats.log_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

void hangup_handler(int /*signal_number*/) { no_hangup_flag = 0; }

void exit_handler() {
    close_incoming();
    close_outgoing();
    if (stats.log_fd != -1) {
        close(stats.log_fd);
        stats.log_fd = -1;
    }
    if (process.internal_error != 0) {
        printf("Fatal internal error %d.\r\n", process.internal_error);
        fflush(stdout);
    }
}

void install_hangup_handler() {
    struct sigaction action {};
    action.sa_handler = hangup_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // only the first hang-up is caught
    sigaction(SIGHUP, &action, nullptr);
}

void kestro_main(int argc, char** argv) {
    parse_command_line(argc, argv);
    if (!process.device_mode) link_setup.handshake_echo = 0;
    open_transfer_log();
    install_hangup_handler();
    on_end_of_run(exit_handler);
    link_establish(link_banner, kestro_identification, stats.line_speed);
    clock_update();
    cycle.last_activity_time = serial.clock;
    alloc_link_channels();
    on_peer_goodbye = drain_status_channel;
    screen_setup();
    main_loop();
}

void main_loop() {
    send_opening_block(screen.beeper_off);
    for (;;) {
        show_next_result();
        if (service_cycle() == 1 && process.screen_active && key_waiting() != 0) handle_key();
    }
}
