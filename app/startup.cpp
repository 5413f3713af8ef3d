#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/cycle.h"
#include "session/outcome.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "ui/keys.h"
#include "ui/screen.h"

const char* const title_text = "Kestro V1.0/Linux - ported by Varkas\n\n";

void open_transfer_log() {
    stats.log_fd = -1;
    if (stats.log_path == nullptr) return;
    // Truncated: lines of an earlier, longer run must not trail this run's lines.
    stats.log_fd = open(stats.log_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (stats.log_fd < 0) console_reason(stats.log_path, strerror(errno));  // the run goes on
}

void hangup_handler(int /*signal_number*/) { no_hangup_flag = 0; }

void stop_handler(int signal_number) {
    stop_signal = signal_number;
    stop_count = stop_count + 1;
}

void exit_handler() {
    close_incoming();
    close_outgoing();
    if (stats.log_fd != -1) {
        close(stats.log_fd);
        stats.log_fd = -1;
    }
    report_run_end();  // the display is closed by now, the line too
    if (process.internal_error != 0) {
        char text[40];
        snprintf(text, sizeof text, "Fatal internal error %d.\r\n", process.internal_error);
        // In door mode standard output is the line, closed by now.
        if (process.device_mode) {
            fputs(text, stdout);
            fflush(stdout);
        } else {
            console_error(text);
        }
    }
}

void install_hangup_handler() {
    struct sigaction action {};
    action.sa_handler = hangup_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // only the first hang-up is caught
    sigaction(SIGHUP, &action, nullptr);
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = stop_handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait under way returns at once, and the loops look at the flag.
    sigaction(SIGTERM, &action, nullptr);
    // A shell starts a background job with these two ignored, so that Ctrl+C at its
    // terminal leaves the job alone: they stay ignored then.
    static const int keyboard_signals[] = {SIGINT, SIGQUIT};
    for (int signal_number : keyboard_signals) {
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
    // A closed socket and a file-size limit become failed writes, which the run handles.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void check_display() {
    char why[256];
    if (!process.device_mode || screen_usable(why, sizeof why)) return;
    console_reason("cannot show the display", why);
    end_run(EXIT_PORT_FAILED);
}

void kestro_main(int argc, char** argv) {
    parse_command_line(argc, argv);
    check_display();  // before the log is opened and before any byte goes on the line
    if (!process.device_mode) link_setup.handshake_echo = 0;
    progress_start();
    open_transfer_log();
    install_hangup_handler();
    // Before curses starts: it takes over only the signals still at their default.
    install_stop_handlers();
    on_end_of_run(exit_handler);
    link_establish(link_banner, kestro_identification);
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
        screen_follow_size();
        show_next_result();
        show_not_sent();
        if (service_cycle() == 1 && process.screen_active && key_waiting() != 0) handle_key();
    }
}
