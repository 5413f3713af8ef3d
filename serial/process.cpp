#include "serial/process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

process_state process;

namespace {

void real_exit(int code) { exit(code); }

// Whether standard error is the same file or device as another standard descriptor.
bool error_is(int other) {
    struct stat error {
    }, input{};
    if (fstat(2, &error) != 0 || fstat(other, &input) != 0) return false;
    if (S_ISCHR(error.st_mode) && S_ISCHR(input.st_mode)) return error.st_rdev == input.st_rdev;
    return error.st_dev == input.st_dev && error.st_ino == input.st_ino;
}

// In door mode a calling system may hand over the line as standard error too: text written
// there would go to the peer. The line is standard input and standard output, or --fd's.
bool error_is_line() {
    if (process.device_mode) return false;
    if (process.door_line_fd >= 0) return error_is(process.door_line_fd);
    return error_is(0) || error_is(1);
}

// While the screen owns the terminal, text goes to standard error only when that was sent
// elsewhere (2>file): on the terminal it would tear the screen.
bool error_is_screen() { return process.screen_active && error_is(1); }

}  // namespace

void (*final_exit)(int code) = real_exit;

void on_end_of_run(void (*cleanup)()) {
    if (process.cleanup_count < MAX_CLEANUPS) process.cleanups[process.cleanup_count++] = cleanup;
}

void end_run(int code) {
    // Each clean-up leaves the list before it runs: an end inside one goes on with the rest.
    while (process.cleanup_count > 0) process.cleanups[--process.cleanup_count]();
    final_exit(code);
    abort();  // a final exit that returns is a broken seam
}

void internal_error_exit(int number) {
    process.internal_error = number;
    end_run(process.exit_status);
}

void console_message(const char* text) {
    if (!process.device_mode) return;  // standard output is the line
    // The console runs without output processing: a bare line feed would leave the next
    // line starting where this one ended.
    char previous = '\0';
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n' && previous != '\r') fputc('\r', stdout);
        fputc(*p, stdout);
        previous = *p;
    }
    if (previous != '\n') fputs("\r\n", stdout);
    fflush(stdout);
}

void console_error(const char* text) {
    if (error_is_screen() || error_is_line()) return;
    // Standard error is unbuffered; a failed write has nobody left to tell. While the port
    // is open in device mode it is the raw console as well: a bare line feed gets its CR.
    // Standard error that is no terminal (a sysop's log file) gets plain line feeds.
    const bool terminal = isatty(2) != 0;
    const bool raw_console = terminal && process.raw_console;
    size_t length = strlen(text);
    size_t from = 0;
    for (size_t i = 0; i < length; ++i) {
        bool cr_before_lf = text[i] == '\r' && text[i + 1] == '\n';
        bool bare_lf = text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
        if (terminal ? !(raw_console && bare_lf) : !cr_before_lf) continue;
        ssize_t ignored = write(2, text + from, i - from);
        if (terminal) ignored = write(2, "\r", 1);
        (void)ignored;
        from = terminal ? i : i + 1;  // the line feed goes out with what follows
    }
    ssize_t ignored = write(2, text + from, length - from);
    (void)ignored;
}

void console_reason(const char* subject, const char* reason) {
    char text[1024];
    snprintf(text, sizeof text, "kestro: %s: %s\n", subject, reason);
    console_error(text);
}

void set_device_mode(bool on) { process.device_mode = on; }
void set_screen_active(bool on) { process.screen_active = on; }

void exit_status_add(int bits) { process.exit_status |= bits; }

void exit_status_clear(int bits) { process.exit_status &= ~bits; }
void set_door_line(int fd) { process.door_line_fd = fd; }
