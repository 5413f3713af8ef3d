// The end of the run: the exit codes, fatal internal errors, console messages, and the one
// way out through which every end of the process passes.
//
// Interface summary:
//   on_end_of_run (cleanup)       registers a clean-up; they run last registered first
//   end_run (code)                runs the clean-ups, then final_exit (code); never returns
//   internal_error_exit (number)  records the number and ends with the exit status
//   console_message (text)        a line on standard output, device mode only: every line
//                                 of the text ends in CR LF, and so does the text
//   console_error (text)          text on standard error, unless standard error is the
//                                 terminal the screen owns or the door's line itself; while
//                                 the console is raw its line feeds get their CR
//   console_reason (subject, reason)  "kestro: <subject>: <reason>" as one console_error line
//   set_device_mode (on)          -p: standard output is the user's terminal
//   set_screen_active (on)        the full-screen display owns the terminal, or no longer
//   exit_status_add (bits), exit_status_clear (bits)   EXIT_*_OUTSTANDING bits of the
//                                 exit status: work found outstanding, or settled
//   set_door_line (fd)            --fd, --door32: the door's line is this descriptor, not
//                                 standard input and output
//   final_exit                    the seam: the real exit in the program; tests throw instead
#pragma once

// Bits of process.exit_status, the code of a failure or of the automatic exit.
constexpr int EXIT_DOWNLOADS_OUTSTANDING = 1;
constexpr int EXIT_UPLOADS_OUTSTANDING = 2;

// The other exit codes.
constexpr int EXIT_BY_USER = 0;           // the exit key; an -e above its limit
constexpr int EXIT_MISSING_ARGUMENT = 1;  // an option's argument is not there
constexpr int EXIT_LIST_NOT_FOUND = 10;   // a list file named on the command line
constexpr int EXIT_PORT_FAILED = 20;      // the serial port cannot be opened
constexpr int EXIT_BAD_OPTION = 30;       // a bad value or an unknown option letter

// Fatal internal errors: records from the peer too long for their buffers, or a broken queue.
constexpr int INTERNAL_ERROR_OFFER = 1;
constexpr int INTERNAL_ERROR_REQUEST = 2;
constexpr int INTERNAL_ERROR_QUEUE = 3;
constexpr int INTERNAL_ERROR_CONTROL = 5;

constexpr int MAX_CLEANUPS = 8;  // the run registers four, all in one place (its start-up)

struct process_state {
    int exit_status = 0;                    // EXIT_*_OUTSTANDING bits of outstanding work
    int internal_error = 0;                 // number of a fatal internal error, 0 when none
    bool device_mode = false;               // -p given: standard output is the user's terminal
    bool screen_active = false;             // the full-screen display owns the terminal
    bool raw_console = false;               // the port is open in device mode: the console is raw
    int door_line_fd = -1;                  // --fd: the door's line; -1: standard input and output
    void (*cleanups[MAX_CLEANUPS])() = {};  // on_end_of_run's, in the order registered
    int cleanup_count = 0;
};

extern process_state process;

extern void (*final_exit)(int code);

void on_end_of_run(void (*cleanup)());
[[noreturn]] void end_run(int code);
[[noreturn]] void internal_error_exit(int number);
void console_message(const char* text);
void console_error(const char* text);
void console_reason(const char* subject, const char* reason);
void set_device_mode(bool on);
void set_screen_active(bool on);
void exit_status_add(int bits);
void exit_status_clear(int bits);
void set_door_line(int fd);
