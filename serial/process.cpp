#include "serial/process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

process_state process;

namespace {

void real_exit(int code) { exit(code); }

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
    if (process.screen_active) return;
    // Standard error is unbuffered; a failed write has nobody left to tell.
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}
