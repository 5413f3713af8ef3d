#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "app/app.h"
#include "files/lists.h"
#include "link/codec.h"
#include "link/establish.h"
#include "link/setup.h"
#include "link/supervise.h"
#include "link/widen.h"
#include "serial/lock.h"
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

void stop_handler(int signal_number) {
    stop_signal = signal_number;
    stop_count = stop_count + 1;
}

void hangup_handler(int signal_number) {
    const bool first = no_hangup_flag != 0;
    no_hangup_flag = 0;
    if (first && serial.carrier_mode == 2) return;  // -t: supervision sees the carrier gone
    stop_handler(signal_number);
}

void exit_handler() {
    close_incoming();
    close_outgoing();
    close_transfer_log();
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
    // Started under nohup: the caller wants the run to outlive the terminal. With -t the
    // hang-up is how the caller reports the carrier, so it is always caught.
    struct sigaction before {};
    if (serial.carrier_mode != 2 && sigaction(SIGHUP, nullptr, &before) == 0 &&
        before.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = hangup_handler;
    sigemptyset(&action.sa_mask);
    // For the whole run, and without SA_RESTART, as the stop signals: a second hang-up is
    // a second stop signal.
    action.sa_flags = 0;
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
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
    // A closed socket and a file-size limit become failed writes, which the run handles.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

namespace {

bool suspend_installed = false;  // SIGTSTP is ours: a stop request is followed

void set_suspend_handler(void (*handler)(int), struct sigaction* before) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTSTP, &action, before);
}

}  // namespace

void suspend_handler(int /*signal_number*/) { suspend_requested = 1; }

void install_suspend_handler() {
    // Door mode has no terminal to give back. A SIGTSTP ignored at the start (no job
    // control) stays ignored. Installed before curses, which then leaves it alone.
    struct sigaction before {};
    if (!process.device_mode ||
        (sigaction(SIGTSTP, nullptr, &before) == 0 && before.sa_handler == SIG_IGN))
        return;
    set_suspend_handler(suspend_handler, nullptr);
    suspend_installed = true;
}

void follow_suspend() {
    if (!suspend_requested) return;
    suspend_requested = 0;
    if (!suspend_installed) return;
    link_suspend();
    screen_suspend();
    // curses took the raw console for the shell's settings: the real ones are the port's.
    console_restore();
    // The whole job stops, as at a Ctrl+Z the terminal itself turned into SIGTSTP.
    struct sigaction ours {};
    set_suspend_handler(SIG_DFL, &ours);
    kill(0, SIGTSTP);
    sigaction(SIGTSTP, &ours, nullptr);
    console_make_raw();
    screen_resume();
    link_resume();
}

// `kestro -h` at a prompt runs a door on the terminal itself: the person is told at once.
// The terminal is the line, so the text goes to the peer too when there is one (ssh -tt
// gives such a terminal): plain words, nothing a handshake reads.
void warn_user_terminal() {
    if (!door_line_is_user_terminal()) return;
    static const char text[] =
        "kestro: no -p given, so this terminal is the line (door mode); did you mean "
        "-p DEVICE? Ctrl+X twice ends it\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    link_on_user_terminal();
}

void check_display() {
    char why[256];
    if (!process.device_mode || screen_usable(why, sizeof why)) return;
    console_reason("cannot show the display", why);
    end_run(EXIT_PORT_FAILED);
}

// Every clean-up of the run, registered here at once; they run last registered first, so at
// the end in this order:
//   screen_close    the display held 2 s, then closed: the texts after it reach the terminal
//   link_terminate  the closing message, the goodbye and its wait, the port closed
//   port_unlock     our lock file, if the port's close did not remove it
//   exit_handler    transfer files and log closed, the run reported, a fatal error said last
// Each does nothing until its resource exists: exit 20 sends no goodbye, and no screen is
// closed before curses started.
void register_cleanups() {
    on_end_of_run(exit_handler);
    on_end_of_run(port_unlock);
    on_end_of_run(link_terminate);
    on_end_of_run(screen_close);
}

void kestro_main(int argc, char** argv) {
    parse_command_line(argc, argv);
    // A serving door names its directory alone; anyone else expected it to send something.
    if (!session.serve_requests) note_lone_directories();
    check_display();  // before the log is opened and before any byte goes on the line
    if (!process.device_mode) link_echo_off();
    warn_user_terminal();
    // --plain: nothing announced, in the handshake either.
    if (session.announce) link_offer_widening();
    progress_start();
    open_transfer_log();
    install_hangup_handler();
    // Before curses starts: it takes over only the signals still at their default.
    install_stop_handlers();
    install_suspend_handler();
    register_cleanups();
    link_establish(link_banner, kestro_identification);
    clock_update();
    activity_from_now();
    alloc_link_channels();
    screen_setup();
    if (process.screen_active) widen_install_notice([](const char* text) { show_info(text, ""); });
    main_loop();
}

void main_loop() {
    if (session.announce)
        announce({.compress = session.compress != 0,
                  .extended = true,
                  .no_room = true,
                  .reoffer = true,
                  .utf8_names = true,
                  .trees = true,
                  .history = session.compress != 0,
                  .echo_check = true});
    send_opening_block(screen.beeper_off);
    for (;;) {
        follow_suspend();
        screen_follow_size();
        screen_follow_auto_exit();
        show_next_result();
        show_not_sent();
        if (service_cycle() == 1 && process.screen_active && key_waiting() != 0) handle_key();
    }
}
