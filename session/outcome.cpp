#include "session/outcome.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "files/lists.h"
#include "files/names.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
#include "session/figures.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/results.h"
#include "session/send.h"
#include "session/stats.h"

outcome_state outcome;

namespace {

// A text cut to fit never ends inside a UTF-8 character.
size_t cut_at_character(const char* text, size_t limit) {
    size_t length = strnlen(text, limit + 1);
    if (length <= limit) return length;
    while (limit > 0 && (static_cast<uint8_t>(text[limit]) & 0xC0) == 0x80) --limit;
    return limit;
}

// Why a file still in a queue at the end of the run did not complete.
constexpr const char* REASON_UNCONFIRMED = "sent, not confirmed by the peer";
constexpr const char* REASON_NOT_SENT = "accepted by the peer, not sent";
constexpr const char* REASON_NO_ANSWER = "offered, no answer from the peer";
constexpr const char* REASON_NOT_OFFERED = "not offered";
constexpr const char* REASON_NOT_OFFERED_AGAIN = "aborted, not offered again before the end";
constexpr const char* REASON_PART_RECEIVED = "received in part";
constexpr const char* REASON_NOT_RECEIVED = "accepted, not received";
constexpr const char* REASON_UNANSWERED = "requested, no answer from the peer";
constexpr const char* REASON_NOT_REQUESTED = "not requested";
constexpr const char* REASON_NOT_ARRIVED = "expected, never offered by the peer";
constexpr const char* REASON_NOT_AGAIN = "failed its check, not offered again";

// Reasons of a file that was skipped.
constexpr const char* REASON_PEER_HAS_IT = "the peer already has it";
constexpr const char* REASON_HERE_ALREADY = "already here, whole";

// Said with "File already exist": the options that would have taken the file.
constexpr const char* HINT_PEER_EXISTS = "the receiving end's -o overwrites, -R renames";
constexpr const char* HINT_HERE_EXISTS = "-o overwrites, -R renames";

void note_queue(const file_queue& queue, const char* reason) {
    for (const file_entry* e = queue.head; e != nullptr; e = e->next)
        note_file(shown_name(e), reason);
}

// A file in transit at the end: sent whole and not confirmed, or broken off part way.
// The file's whole size: closing the sending side cut `length` to the bytes read, for the
// log line; the offer record's 32-bit copy still holds it (up to 2 GiB).
void note_in_transit() {
    for (const file_entry* e = sending.in_transit_queue.head; e != nullptr; e = e->next) {
        int64_t whole = e->size < INT32_MAX ? e->size : e->length;
        int64_t length = std::max<int64_t>(0, whole - e->offset);
        int64_t crossed = std::clamp<int64_t>(stats.upload.crossed - e->stream_start, 0, length);
        if (crossed >= length) {
            note_file(shown_name(e), REASON_UNCONFIRMED);
            continue;
        }
        char reason[96];
        int64_t done = e->offset + crossed;
        snprintf(reason, sizeof reason, "broken off at %d%%, %" PRId64 " of %" PRId64 " bytes",
                 whole > 0 ? static_cast<int>(done * 100 / whole) : 0, done, whole);
        note_file(shown_name(e), reason);
    }
}

// The file being received when the run ended, named as offered, with where it is kept.
void note_part_received(const file_entry* e) {
    const char* offered = entry_alias(e);
    // Its place in the direction's stream of file bytes says how many of them were written.
    int64_t written =
        e->offset + std::clamp<int64_t>(receiving.stream.figures.bytes_moved - e->stream_start, 0,
                                        std::max<int64_t>(0, e->length - e->offset));
    char reason[NOTED_REASON_SIZE];
    snprintf(reason, sizeof reason, "%s, %" PRId64 " of %" PRId64 " bytes%s%.100s",
             REASON_PART_RECEIVED, written, e->length,
             offered[0] != '\0' && strcmp(offered, e->name) != 0 ? ", kept as " : "",
             offered[0] != '\0' && strcmp(offered, e->name) != 0 ? e->name : "");
    note_file(offered[0] != '\0' ? offered : e->name, reason);
}

// Everything that did not complete and was not noted as a result yet.
void note_unfinished() {
    for (int i = 0; i < files.unsent_count; ++i)
        note_file(files.unsent[i].name, files.unsent[i].reason);
    results.unlisted_count += files.unsent_more;
    for (const file_entry* e = finished_queue.head; e != nullptr; e = e->next) note_result(e);
    note_in_transit();
    note_queue(sending.send_queue, REASON_NOT_SENT);
    note_queue(sending.offered_queue, REASON_NO_ANSWER);
    // A file accepted before an abort waits to be offered again: the run ended first.
    for (const file_entry* e = files.upload_queue.head; e != nullptr; e = e->next)
        note_file(e->name, e->offered_again ? REASON_NOT_OFFERED_AGAIN : REASON_NOT_OFFERED);
    if (receiving.stream.current != nullptr) note_part_received(receiving.stream.current);
    note_queue(receiving.receive_queue, REASON_NOT_RECEIVED);
    note_queue(receiving.retry_queue, REASON_NOT_AGAIN);
    note_queue(receiving.requested_queue, REASON_UNANSWERED);
    note_queue(files.request_queue, REASON_NOT_REQUESTED);
    note_queue(files.receive_names, REASON_NOT_ARRIVED);
}

// "Received 2 file(s), 40960 bytes, 955 file bytes/s average (99% of the line)", the rate
// only when one was measured; with compression its ratio instead of the line's share. The
// bytes are those that crossed, or `written` when given: received bytes are counted as
// written to files, since a download cut off leaves bytes landed that never reached one.
void direction_totals(char* out, size_t size, const char* verb, const rate_state& rates,
                      const int64_t* written = nullptr) {
    int64_t bytes = 0;
    int32_t rate = 0;
    run_totals(&rates, &bytes, &rate);
    if (written != nullptr) bytes = *written;
    int n = snprintf(out, size, "%s %d file(s), %" PRId64 " bytes", verb, rates.files_done, bytes);
    if (rate <= 0 || n <= 0 || static_cast<size_t>(n) >= size) return;
    n += snprintf(out + n, size - static_cast<size_t>(n), ", %d file bytes/s average", rate);
    if (n <= 0 || static_cast<size_t>(n) >= size) return;
    char how[DONE_TEXT_SIZE] = "";
    int64_t line_rate = link_line_rate() > 0 ? link_line_rate() : stats.line_speed / 10;
    if (announcement.used.compress) {
        int64_t file_bytes = 0;
        int64_t stream_bytes = 0;
        compressed_crossing(written != nullptr, &file_bytes, &stream_bytes);
        format_saving(how, sizeof how, file_bytes, stream_bytes);
        if (how[0] != '\0')
            snprintf(out + n, size - static_cast<size_t>(n), " (%s compressed)", how);
    } else if (line_rate > 0) {
        snprintf(out + n, size - static_cast<size_t>(n), " (%d%% of the line)",
                 static_cast<int>(std::min<int64_t>(999, rate * 100 / line_rate)));
    }
}

// The name part of a path, cut to `width` bytes for the status line.
void short_name(char* out, size_t size, const char* path, int width) {
    const char* slash = strrchr(path, '/');
    printable_name(out, std::min(size, static_cast<size_t>(width) + 1),
                   slash != nullptr ? slash + 1 : path);
}

// The status line's forms, richest first: the first that fits the width is written.
struct progress_form {
    const char* receiving;
    const char* sending;
    bool counts;     // "DONE/SIZE"
    bool rate;       // "RATE cps"
    bool left_word;  // "M:SS left", else "M:SS"
};
constexpr progress_form progress_forms[] = {
    {"Receiving", "Sending", true, true, true},
    {"Receiving", "Sending", false, true, true},
    {"Down", "Up", false, true, false},
    {"Down", "Up", false, false, false},
};
constexpr int PROGRESS_MIN_NAME_WIDTH = 8;
constexpr int PROGRESS_NAME_STEP = 4;

// One direction's part of the status line, or nothing when no file of it is under way:
// "Receiving NAME DONE/SIZE PCT% RATE cps M:SS left" in the richest form.
int direction_progress(char* out, size_t size, bool receiving_side, const file_entry* entry,
                       const rate_state& rates, const progress_form& form, int name_width) {
    if (entry == nullptr || size == 0) return 0;
    int64_t length = std::max<int64_t>(0, entry->length - entry->offset);
    int64_t done =
        entry->offset + std::clamp<int64_t>(rates.crossed - entry->stream_start, 0, length);
    int percent = entry->length > 0 ? static_cast<int>(done * 100 / entry->length) : 100;
    int32_t rate = rates.average_rate;
    char name[PROGRESS_NAME_WIDTH * 4 + 1];
    short_name(name, sizeof name, shown_name(entry), name_width);
    char counts[48] = "";
    if (form.counts) snprintf(counts, sizeof counts, " %" PRId64 "/%" PRId64, done, entry->length);
    char speed[48] = "";
    if (form.rate) {
        const transfer_direction& stream = receiving_side ? receiving.stream : sending.stream;
        char saving[DONE_TEXT_SIZE] = "";
        if (stream.squeezed || stream.batched)
            format_saving(saving, sizeof saving, stream.figures.bytes_moved, stream.stream_moved);
        snprintf(speed, sizeof speed, " %d cps%s%s", rate, saving[0] != '\0' ? " " : "", saving);
    }
    char left[32];
    int32_t recent = rates.current_rate;  // the bytes to come go as the latest did
    format_seconds(left, sizeof left,
                   recent > 0 ? (entry->length - done + recent - 1) / recent : -1);
    int n =
        snprintf(out, size, "%s %s%s %d%%%s %s%s", receiving_side ? form.receiving : form.sending,
                 name, counts, percent, speed, left, form.left_word ? " left" : "");
    return n < 0 ? 0 : std::min(n, static_cast<int>(size) - 1);
}

// The files under way: the oldest one not yet whole at the other end.
const file_entry* incoming_under_way() {
    if (receiving.stream.figures.files_left == 0) return nullptr;
    return receiving.stream.current != nullptr ? receiving.stream.current
                                               : receiving.receive_queue.head;
}

const file_entry* outgoing_under_way() {
    if (sending.stream.figures.files_left == 0) return nullptr;
    return sending.in_transit_queue.head != nullptr ? sending.in_transit_queue.head
                                                    : sending.send_queue.head;
}

// The status line's width: one less than the terminal's, so that it never wraps there.
int progress_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return std::min(static_cast<int>(size.ws_col) - 1, PROGRESS_LINE_SIZE - 1);
    return PROGRESS_DEFAULT_WIDTH;
}

// On a terminal a status line ends in CR and the next one writes over it, blanks over
// what is left of it; the last line ends in LF. Anywhere else (a log file) every line
// ends in LF.
void write_progress(const char* text, bool last) {
    char line[PROGRESS_LINE_SIZE * 2 + 8];
    int length = static_cast<int>(strnlen(text, PROGRESS_LINE_SIZE));
    if (isatty(STDERR_FILENO) == 0) {
        snprintf(line, sizeof line, "%.*s\n", length, text);
    } else if (last) {
        snprintf(line, sizeof line, "%*s\r%.*s\n", outcome.progress_length, "", length, text);
    } else {
        snprintf(line, sizeof line, "%-*.*s\r", std::max(length, outcome.progress_length), length,
                 text);
    }
    console_error(line);
    outcome.progress_length = isatty(STDERR_FILENO) != 0 && !last ? length : 0;
}

bool session_ran() { return send_up(CH_CONTROL); }

// Each file and what became of it, one line each: on the console after the totals (device
// mode); in door mode on standard error, the ones that did not complete only (with
// --progress every one), since nothing else would name them.
void print_noted(void (*write_line)(const char*), const char* line_end, bool with_done) {
    char line[PROGRESS_LINE_SIZE];
    note_unfinished();
    for (int i = 0; i < results.noted_count; ++i) {
        const noted_file& n = results.noted[i];
        if (!with_done && is_done_heading(n.heading)) continue;
        if (n.reason[0] == '\0')
            snprintf(line, sizeof line, "%s: %s%s", n.heading, n.name, line_end);
        else
            snprintf(line, sizeof line, "%s: %s (%s)%s", n.heading, n.name, n.reason, line_end);
        write_line(line);
    }
    if (results.unlisted_count > 0) {
        snprintf(line, sizeof line, "Not completed: %d more.%s", results.unlisted_count, line_end);
        write_line(line);
    }
    if (with_done && results.unlisted_done > 0) {
        snprintf(line, sizeof line, "Completed: %d more.%s", results.unlisted_done, line_end);
        write_line(line);
    }
}

void print_summary() {
    char totals[PROGRESS_LINE_SIZE / 2];
    char line[PROGRESS_LINE_SIZE];
    direction_totals(totals, sizeof totals, "Received", stats.download,
                     &receiving.stream.figures.bytes_moved);
    snprintf(line, sizeof line, "%.120s.", totals);
    console_message(line);
    direction_totals(totals, sizeof totals, "Sent", stats.upload);
    snprintf(line, sizeof line, "%.120s.", totals);
    console_message(line);
    print_noted(console_message, "", true);
}

struct result_row {
    uint8_t letter;
    const char* message;
};

constexpr result_row result_table[] = {
    {ST_UPLOAD_ABORTED, "Upload aborted"},      {ST_READ_ERROR, "File read error"},
    {ST_OPEN_ERROR, "File open error"},         {ST_SIZE_ERROR, "File size error"},
    {ST_DOWNLOAD_ABORTED, "Download aborted"},  {ST_WRITE_ERROR, "File write error"},
    {ST_DOWNLOADS_DONE, "Download completed"},  {ST_UPLOADS_DONE, "Upload completed"},
    {ST_EXISTS, "File already exist"},          {ST_DUPLICATE, "Duplicate file ignored"},
    {ST_NOT_FOUND, "Requested file not found"}, {ST_DENIED, "Download request denied"},
    {ST_REFUSED, "Upload request denied"},      {ST_TOO_MANY, "Too many files to transfer"},
    {ST_HAVE_IT, "File already transferred"},   {STATUS_NAME_TOO_LONG, "File name too long"},
    {ST_CHECK_FAILED, "File check failed"},     {ST_DENIED_HERE, "Download request denied"},
    {ST_DATA_ERROR, "File data error"},         {ST_STALLED, "Transfer stalled"},
    {ST_NAME_REFUSED, "File name refused"},     {ST_EARLY_ANSWER, "Confirmed before it was sent"},
    {ST_NO_ROOM, "No room for the file"},
};

const char* result_message(uint8_t letter) {
    for (const result_row& r : result_table)
        if (r.letter == letter) return r.message;
    return nullptr;
}

// What a result line adds after the file's name: the system's reason for a failure, or
// the options that would have taken a file refused as existing. Null: nothing.
const char* result_reason(const file_entry* entry) {
    if (entry->status == ST_EXISTS) return entry->inode != 0 ? HINT_PEER_EXISTS : HINT_HERE_EXISTS;
    const uint8_t failures[] = {ST_READ_ERROR, ST_OPEN_ERROR, ST_SIZE_ERROR, ST_WRITE_ERROR,
                                ST_DENIED_HERE};
    for (uint8_t letter : failures)
        if (entry->status == letter) return remembered_reason(entry->name);
    return nullptr;
}

}  // namespace

void note_result(const file_entry* entry) {
    const char* message = nullptr;
    char detail[8];
    if (entry->status == ST_DOWNLOADS_DONE || entry->status == ST_UPLOADS_DONE) return;
    if (entry->status == ST_HAVE_IT) {
        // Both ends have the file whole: nothing failed. Only an upload entry stands for a file.
        note_file(shown_name(entry), entry->inode != 0 ? REASON_PEER_HAS_IT : REASON_HERE_ALREADY,
                  HEADING_SKIPPED);
        return;
    }
    if (!result_text(entry, &message, detail, sizeof detail)) return;
    const char* reason = result_reason(entry);
    char text[NOTED_REASON_SIZE];
    snprintf(text, sizeof text, "%s%s%s", message, reason != nullptr ? ": " : "",
             reason != nullptr ? reason : "");
    // A request we did not serve is the peer's download that failed, not a file of ours.
    note_file(shown_name(entry), text,
              entry->status == ST_DENIED_HERE ? HEADING_REFUSED : HEADING_NOT_COMPLETED);
}

void show_not_sent() {
    char text[UNSENT_NAME_SIZE + 16];
    for (; outcome.unsent_shown < files.unsent_count; ++outcome.unsent_shown) {
        const unsent_name& u = files.unsent[outcome.unsent_shown];
        snprintf(text, sizeof text, "Not sent: %s", u.name);
        display.info(text, u.reason);
    }
    if (outcome.unsent_more_shown == files.unsent_more) return;
    outcome.unsent_more_shown = files.unsent_more;
    snprintf(text, sizeof text, "%d", files.unsent_more);
    display.info("More names not sent", text);
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
    outcome.progress_on = outcome.progress_wanted && !process.device_mode &&
                          progress_allowed(0, 2) && progress_allowed(1, 2);
}

void progress_tick() {
    if (!outcome.progress_on || serial.clock == outcome.progress_second) return;
    outcome.progress_second = serial.clock;
    char line[PROGRESS_LINE_SIZE];
    format_progress(line, sizeof line, progress_width());
    write_progress(line, false);
}

void format_progress(char* out, size_t size, int width) {
    if (size == 0) return;
    const file_entry* incoming = incoming_under_way();
    const file_entry* outgoing = outgoing_under_way();
    if (incoming == nullptr && outgoing == nullptr) {
        snprintf(out, size, "%.*s", std::max(width, 0), "No file under way");
        return;
    }
    for (const progress_form& form : progress_forms) {
        for (int name_width = PROGRESS_NAME_WIDTH; name_width >= PROGRESS_MIN_NAME_WIDTH;
             name_width -= PROGRESS_NAME_STEP) {
            int n = direction_progress(out, size, true, incoming, stats.download, form, name_width);
            if (n > 0 && outgoing != nullptr && static_cast<size_t>(n) + 3 < size) {
                memcpy(out + n, " | ", 4);
                n += 3;
            }
            n += direction_progress(out + n, size - static_cast<size_t>(n), false, outgoing,
                                    stats.upload, form, name_width);
            if (n <= width) return;
        }
    }
    out[cut_at_character(out, static_cast<size_t>(std::max(width, 0)))] =
        '\0';  // the poorest form, cut
}

void format_totals(char* out, size_t size, int width) {
    char received[PROGRESS_LINE_SIZE / 2];
    char sent[PROGRESS_LINE_SIZE / 2];
    direction_totals(received, sizeof received, "Received", stats.download,
                     &receiving.stream.figures.bytes_moved);
    direction_totals(sent, sizeof sent, "sent", stats.upload);
    int n = snprintf(out, size, "%.120s; %.120s.", received, sent);
    if (n <= width) return;
    // Too wide for one line: one line each way.
    sent[0] = 'S';
    snprintf(out, size, "%.120s.\n%.120s.", received, sent);
}

void report_run_end() {
    if (!session_ran()) return;
    if (process.device_mode) {
        print_summary();
    } else {
        if (outcome.progress_on) {
            char line[PROGRESS_LINE_SIZE];
            format_totals(line, sizeof line, progress_width());
            write_progress(line, true);
        }
        print_noted(console_error, "\n", outcome.progress_on);
    }
}

int result_text(const file_entry* entry, const char** message, char* detail, size_t detail_size) {
    *message = result_message(entry->status);
    if (*message == nullptr) return 0;
    if (const char* reason = result_reason(entry); reason != nullptr)
        snprintf(detail, detail_size, "%s: %s", shown_name(entry), reason);
    else if (entry->status == ST_DOWNLOADS_DONE)
        snprintf(detail, detail_size, "%ld file(s) received",
                 static_cast<long>(receiving.stream.figures.total_files));
    else if (entry->status == ST_UPLOADS_DONE)
        snprintf(detail, detail_size, "%ld file(s) sent",
                 static_cast<long>(sending.stream.figures.total_files));
    else
        snprintf(detail, detail_size, "%s", shown_name(entry));  // the whole name, blanks and all
    return 1;
}

void show_next_result() {
    file_entry* entry = queue_pop(&finished_queue);
    if (entry == nullptr) return;
    const char* message = nullptr;
    char detail[PATH_SIZE];
    if (result_text(entry, &message, detail, sizeof detail)) display.info(message, detail);
    note_result(entry);
    free_entry(entry);  // whatever its letter
}

void want_progress() { outcome.progress_wanted = true; }
