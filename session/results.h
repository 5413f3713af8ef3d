// Each file's outcome, one line a file, for the summary at the end of the run, and the
// system's reasons for failed files until their result lines are shown. The transfer sides
// note what became of a file here; session/outcome.h prints it.
//
// Interface summary:
//   note_file (name, reason, heading)  the file's line: a later outcome of the same name takes
//                              it, except that a completed one stays; beyond MAX_NOTED only
//                              counted
//   is_done_heading (heading) -> true for HEADING_SENT and HEADING_RECEIVED
//   note_file_done (entry, received)  a file received whole, or confirmed by the peer: its
//                              info line now ("File received (NAME, stored as PATH, resumed
//                              at N bytes)"), and its line in the summary
//   remember_reason (name, reason)  why a file could not be opened, read or written, for
//                              its result line (the last MAX_REASONS are kept)
//   remembered_reason (name) -> that reason, or null
#pragma once

#include "files/entries.h"

constexpr int MAX_NOTED = 32;        // files listed by the summary; the rest are counted
constexpr int NOTED_NAME_SIZE = 64;  // a listed name is cut to this

// Headings of the summary's lines.
constexpr const char* HEADING_NOT_COMPLETED = "Not completed";
constexpr const char* HEADING_SKIPPED = "Skipped";  // a file both ends have whole
constexpr const char* HEADING_SENT = "Sent";
constexpr const char* HEADING_RECEIVED = "Received";
constexpr const char* HEADING_REFUSED = "Refused the peer";  // its request, not served

constexpr int MAX_REASONS = 8;  // failed files whose reasons wait for their line
constexpr int REASON_SIZE = 96;

// The system's reason for a file's failure, until its result line is shown.
struct file_reason {
    char name[NOTED_NAME_SIZE * 2];
    char reason[REASON_SIZE];
};

constexpr int NOTED_REASON_SIZE = 192;

struct noted_file {
    char name[NOTED_NAME_SIZE];
    char reason[NOTED_REASON_SIZE];  // empty: nothing to add to the heading
    // "Not completed", "Skipped" for a file both ends have whole, "Sent", "Received"
    const char* heading;
};

struct results_state {
    noted_file noted[MAX_NOTED];
    int noted_count = 0;
    int unlisted_count = 0;  // did not complete either, beyond MAX_NOTED
    int unlisted_done = 0;   // completed, beyond MAX_NOTED
    file_reason reasons[MAX_REASONS];
    int reason_next = 0;  // the slot the next reason takes
};

extern results_state results;

void note_file(const char* name, const char* reason, const char* heading = HEADING_NOT_COMPLETED);
bool is_done_heading(const char* heading);
void note_file_done(const file_entry* entry, bool received);
void remember_reason(const char* name, const char* reason);
const char* remembered_reason(const char* name);
