#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "app/settings.h"
#include "link/channels.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/receive.h"
#include "session/send.h"
#include "ui/keys.h"
#include "ui/screen.h"

void print_title() { printf("Kestro V1.0/Linux - ported by Varkas\n\n"); }

void console_message(const char* text) {
    if (settings.device_path == nullptr) return;  // standard output is the line
    puts(text);
    fflush(stdout);
}

void internal_error_exit(int number) {
    settings.internal_error = number;
    exit(settings.exit_status);
}

void open_transfer_log() {
    settings.log_fd = -1;
    if (settings.log_path == nullptr) return;
    // Truncated: lines of an earlier, longer run must not trail this run's lines.
    settings.log_fd = open(settings.log_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

void hangup_handler(int /*signal_number*/) { no_hangup_flag = 0; }

void exit_handler() {
    close_incoming();
    close_outgoing();
    if (settings.log_fd != -1) {
        close(settings.log_fd);
        settings.log_fd = -1;
    }
    if (settings.internal_error != 0) {
        printf("Fatal internal error %d.\r\n", settings.internal_error);
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
    if (settings.device_path == nullptr) settings.handshake_echo = 0;
    open_transfer_log();
    install_hangup_handler();
    atexit(exit_handler);
    link_establish(link_banner, kestro_identification, settings.device_path, settings.line_speed,
                   settings.carrier_mode, settings.flow_letter, 0, settings.initial_link_mode);
    clock_update();
    cycle.last_activity_time = serial.clock;
    alloc_link_channels();
    on_peer_goodbye = drain_status_channel;
    screen_setup();
    main_loop();
}
