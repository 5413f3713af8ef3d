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
    struct stat error {}, input {};
    if (fstat(2, &error) != 0 || fstat(other, &input) != 0) return false;
    if (S_ISCHR(error.st_mode) && S_ISCHR(input.st_mode)) return error.st_rdev == input.st_rdev;
    return error.st_dev == input.st_dev && error.st_ino == input.st_ino;
}

// In door mode a calling system may hand over the line as standard error too: text written
// there would go to the peer.
bool error_is_line() { return !process.device_mode && error_is(0); }

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
    puts(text);
    fflush(stdout);
}

void console_error(const char* text) {
    if (error_is_screen() || error_is_line()) return;
    // Standard error is unbuffered; a failed write has nobody left to tell.
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

void console_reason(const char* subject, const char* reason) {
    char text[1024];
    snprintf(text, sizeof text, "kestro: %s: %s\n", subject, reason);
    console_error(text);
}
