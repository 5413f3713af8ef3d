// Global settings, set once by the command line, and the exit status.
//
// Interface summary:
//   settings            the one instance; tests reset it with `settings = settings_state{}`
//   EXIT_DOWNLOADS_OUTSTANDING, EXIT_UPLOADS_OUTSTANDING   bits of settings.exit_status
#pragma once

#include <cstdint>

constexpr int EXIT_DOWNLOADS_OUTSTANDING = 1;
constexpr int EXIT_UPLOADS_OUTSTANDING = 2;

struct settings_state {
    // The line.
    const char* device_path = nullptr;  // none selects door mode
    int32_t line_speed = 0;             // only written into log lines
    int carrier_mode = 1;               // 0 never lost, 1 DCD, 2 no SIGHUP yet
    int initial_link_mode = 0;          // -C sets 0x30, -H adds 0x03
    char flow_letter = 'H';             // -H 'S', -h 'N'

    // How names on the command line are taken and how transfers behave.
    char name_mode = 'u';  // 'u' send, 'd' receive names, 'r' request
    int accept_uploads = 1;
    int wildcards_allowed = 1;
    int delete_partial = 0;
    int log_refusals = 0;
    int delete_sent = 0;
    int beeper_off = 0;  // also toggled by the beeper key
    int serve_requests = 0;
    int rename_existing = 0;
    int overwrite_existing = 0;
    int resume_check = 1;

    // Transfer log.
    const char* log_path = nullptr;
    int log_fd = -1;

    // Automatic exit.
    int32_t idle_exit_seconds = 0;
    int32_t chat_idle_seconds = 0;
    int auto_exit_flags = 0;  // 1: -E given, 2: -e given

    int handshake_echo = 1;  // cleared in door mode

    // Outcome.
    int exit_status = 0;     // EXIT_* bits of outstanding work
    int internal_error = 0;  // number of a fatal internal error, 0 when none
};

extern settings_state settings;
