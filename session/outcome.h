// What the user learns about the transfers outside the screen: the summary that closes a
// device-mode run, and the --progress line of door mode on standard error.
//
// Interface summary:
//   note_result (entry)        an entry on its way out of finished_queue: one that did not
//                              complete, or was skipped, is remembered (up to MAX_NOTED)
//                              for the summary
//   show_not_sent ()           every main-loop turn: an info line for each local name noted
//                              as giving nothing to send (files.unsent) not shown yet
//   progress_allowed (line_fd, error_fd) -> true when the error descriptor is not the line
//   want_progress ()           --progress
//   progress_start ()          door mode with --progress, standard error not the line: on
//   progress_tick ()           once a clock second while on: the status line, ending in CR
//                              on a terminal (the next one writes over it), else in LF
//   report_run_end ()          from the exit path, files closed: device mode prints the
//                              summary on standard output, --progress its final line
//   format_progress (out, size, width)  the status line's text, at most width bytes: the
//                              richest form that fits, names cut first, then the counts,
//                              the long verbs, the rate
//   format_totals (out, size, width)    the last line; one line each way when too wide
//   show_next_result ()        at most one finished entry shown and freed
//   result_text (entry, message, detail, size) -> 1 when the entry's letter has a message
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "files/entries.h"
#include "session/results.h"
#include "session/stats.h"

constexpr int PROGRESS_NAME_WIDTH = 24;
constexpr int PROGRESS_LINE_SIZE = 256;
constexpr int PROGRESS_DEFAULT_WIDTH = 79;  // standard error that is no terminal

struct outcome_state {
    bool progress_wanted = false;  // --progress
    bool progress_on = false;      // wanted, door mode, and standard error is not the line
    time_t progress_second = 0;    // the clock second of the last status line
    int progress_length = 0;       // its length: a shorter next line blanks the rest
    int unsent_shown = 0;          // files.unsent entries shown on the screen
    int unsent_more_shown = 0;     // files.unsent_more when it was last shown
};

extern outcome_state outcome;

void note_result(const file_entry* entry);
void show_not_sent();
bool progress_allowed(int line_fd, int error_fd);
void want_progress();
void progress_start();
void progress_tick();
void report_run_end();
void format_progress(char* out, size_t size, int width);
void format_totals(char* out, size_t size, int width);
void show_next_result();
int result_text(const file_entry* entry, const char** message, char* detail, size_t detail_size);
