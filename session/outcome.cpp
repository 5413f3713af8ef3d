#include "session/outcome.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "files/lists.h"
#include "files/names.h"
#include "link/channels.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"

outcome_state outcome;

namespace {

// Why a file still in a queue at the end of the run did not complete.
constexpr const char* REASON_UNCONFIRMED = "sent, not confirmed by the peer";
constexpr const char* REASON_NOT_SENT = "accepted by the peer, not sent";
constexpr const char* REASON_NO_ANSWER = "offered, no answer from the peer";
constexpr const char* REASON_NOT_OFFERED = "not offered";
constexpr const char* REASON_PART_RECEIVED = "received in part";
constexpr const char* REASON_NOT_RECEIVED = "accepted, not received";
constexpr const char* REASON_UNANSWERED = "requested, no answer from the peer";
constexpr const char* REASON_NOT_REQUESTED = "not requested";
constexpr const char* REASON_NOT_ARRIVED = "expected, never offered by the peer";

void note(const char* name, const char* reason) {
    if (outcome.noted_count == MAX_NOTED) {
        ++outcome.unlisted_count;
        return;
    }
    noted_file& n = outcome.noted[outcome.noted_count++];
    printable_name(n.name, sizeof n.name, name);  // cut to fit, never inside a character
    n.reason = reason;
}

void note_queue(const file_queue& queue, const char* reason) {
    for (const file_entry* e = queue.head; e != nullptr; e = e->next) note(e->name, reason);
}

// Everything that did not complete and was not noted as a result yet.
void note_unfinished() {
    for (const file_entry* e = finished_queue.head; e != nullptr; e = e->next) note_result(e);
    note_queue(sending.in_transit_queue, REASON_UNCONFIRMED);
    note_queue(sending.send_queue, REASON_NOT_SENT);
    note_queue(sending.offered_queue, REASON_NO_ANSWER);
    note_queue(files.upload_queue, REASON_NOT_OFFERED);
    if (receiving.current_incoming != nullptr) note(receiving.current_incoming->name, REASON_PART_RECEIVED);
    note_queue(receiving.receive_queue, REASON_NOT_RECEIVED);
    note_queue(receiving.requested_queue, REASON_UNANSWERED);
    note_queue(files.request_queue, REASON_NOT_REQUESTED);
    note_queue(files.receive_names, REASON_NOT_ARRIVED);
}

// "Received 2 file(s), 40960 bytes, 955 cps average", the rate only when one was measured.
void direction_totals(char* out, size_t size, const char* verb, const rate_state& rates) {
    int64_t bytes = 0;
    int32_t rate = 0;
    run_totals(&rates, &bytes, &rate);
    int n = snprintf(out, size, "%s %d file(s), %" PRId64 " bytes", verb, rates.files_done, bytes);
    if (rate > 0 && n > 0 && static_cast<size_t>(n) < size)
        snprintf(out + n, size - static_cast<size_t>(n), ", %d cps average", rate);
}

// The name part of a path, cut for the status line.
void short_name(char* out, size_t size, const char* path) {
    const char* slash = strrchr(path, '/');
    printable_name(out, std::min(size, static_cast<size_t>(PROGRESS_NAME_WIDTH) + 1),
                   slash != nullptr ? slash + 1 : path);
}

void format_seconds(char* out, size_t size, int64_t seconds) {
    if (seconds < 0) {
        snprintf(out, size, "--:--");
    } else if (seconds >= 3600) {
        snprintf(out, size, "%" PRId64 ":%02d:%02d", seconds / 3600, static_cast<int>(seconds / 60 % 60),
                 static_cast<int>(seconds % 60));
    } else {
        snprintf(out, size, "%d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
    }
}

// One direction's part of the status line, or nothing when no file of it is under way:
// "Receiving NAME DONE/SIZE PCT% RATE cps M:SS left".
int direction_progress(char* out, size_t size, const char* verb, const file_entry* entry,
                       const rate_state& rates) {
    if (entry == nullptr || size == 0) return 0;
    int64_t length = std::max<int64_t>(0, int64_t{entry->size} - entry->offset);
    int64_t done = entry->offset + std::clamp<int64_t>(rates.crossed - entry->stream_start, 0, length);
    int percent = entry->size > 0 ? static_cast<int>(done * 100 / entry->size) : 100;
    int32_t rate = rates.average_rate;
    char name[PROGRESS_NAME_WIDTH * 4 + 1];
    short_name(name, sizeof name, entry->name);
    char left[32];
    format_seconds(left, sizeof left, rate > 0 ? (entry->size - done + rate - 1) / rate : -1);
    int n = snprintf(out, size, "%s %s %" PRId64 "/%d %d%% %d cps %s left", verb, name, done, entry->size, percent,
                     rate, left);
    return n < 0 ? 0 : std::min(n, static_cast<int>(size) - 1);
}

// The files under way: the oldest one not yet whole at the other end.
const file_entry* incoming_under_way() {
    if (receiving.figures.files_left == 0) return nullptr;
    return receiving.current_incoming != nullptr ? receiving.current_incoming : receiving.receive_queue.head;
}

const file_entry* outgoing_under_way() {
    if (sending.figures.files_left == 0) return nullptr;
    return sending.in_transit_queue.head != nullptr ? sending.in_transit_queue.head : sending.send_queue.head;
}

// Standard error gets the text padded over what the last status line left, then the end.
void write_progress(const char* text, const char* end) {
    char line[PROGRESS_LINE_SIZE + 64];
    int length = static_cast<int>(strnlen(text, PROGRESS_LINE_SIZE));
    int width = std::max(length, outcome.progress_length);
    snprintf(line, sizeof line, "%-*.*s%s", width, length, text, end);
    console_error(line);
    outcome.progress_length = end[0] == '\r' ? length : 0;
}

bool session_ran() { return channels.send_channels[CH_CONTROL] != nullptr; }

void print_summary() {
    char totals[PROGRESS_LINE_SIZE / 2];
    char line[PROGRESS_LINE_SIZE];
    direction_totals(totals, sizeof totals, "Received", stats.download);
    snprintf(line, sizeof line, "%.120s.", totals);
    console_message(line);
    direction_totals(totals, sizeof totals, "Sent", stats.upload);
    snprintf(line, sizeof line, "%.120s.", totals);
    console_message(line);
    note_unfinished();
    for (int i = 0; i < outcome.noted_count; ++i) {
        snprintf(line, sizeof line, "Not completed: %s (%s)", outcome.noted[i].name, outcome.noted[i].reason);
        console_message(line);
    }
    if (outcome.unlisted_count > 0) {
        snprintf(line, sizeof line, "Not completed: %d more.", outcome.unlisted_count);
        console_message(line);
    }
}

}  // namespace

void note_result(const file_entry* entry) {
    const char* message = nullptr;
    char detail[8];
    if (entry->status == ST_DOWNLOADS_DONE || entry->status == ST_UPLOADS_DONE) return;
    if (result_text(entry, &message, detail, sizeof detail)) note(entry->name, message);
}

bool progress_allowed(int line_fd, int error_fd) {
    struct stat line {};
    struct stat error {};
    if (fstat(error_fd, &error) != 0) return false;
    if (fstat(line_fd, &line) != 0) return true;
    if (line.st_dev == error.st_dev && line.st_ino == error.st_ino) return false;
    // Two opens of one serial or terminal device are two inodes only on different file systems.
    return !(S_ISCHR(line.st_mode) && S_ISCHR(error.st_mode) && line.st_rdev == error.st_rdev);
}

void progress_start() {
    // In door mode standard input and output are the line: standard error must be neither.
    outcome.progress_on = outcome.progress_wanted && !process.device_mode && progress_allowed(0, 2) &&
                          progress_allowed(1, 2);
}

void progress_tick() {
    if (!outcome.progress_on || serial.clock == outcome.progress_second) return;
    outcome.progress_second = serial.clock;
    char line[PROGRESS_LINE_SIZE];
    format_progress(line, sizeof line);
    write_progress(line, "\r");
}

void format_progress(char* out, size_t size) {
    int n = direction_progress(out, size, "Receiving", incoming_under_way(), stats.download);
    const file_entry* outgoing = outgoing_under_way();
    if (n > 0 && outgoing != nullptr && static_cast<size_t>(n) + 3 < size) {
        memcpy(out + n, " | ", 4);
        n += 3;
    }
    n += direction_progress(out + n, size - static_cast<size_t>(n), "Sending", outgoing, stats.upload);
    if (n == 0) snprintf(out, size, "No file under way");
}

void format_totals(char* out, size_t size) {
    char received[PROGRESS_LINE_SIZE / 2];
    char sent[PROGRESS_LINE_SIZE / 2];
    direction_totals(received, sizeof received, "Received", stats.download);
    direction_totals(sent, sizeof sent, "sent", stats.upload);
    snprintf(out, size, "%.120s; %.120s.", received, sent);
}

void report_run_end() {
    if (!session_ran()) return;
    if (process.device_mode) {
        print_summary();
    } else if (outcome.progress_on) {
        char line[PROGRESS_LINE_SIZE];
        format_totals(line, sizeof line);
        write_progress(line, "\n");
    }
}
