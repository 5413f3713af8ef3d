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
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
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
constexpr const char* REASON_NOT_AGAIN = "failed its check, not offered again";

// Headings of the summary's lines, and the reasons of a file that was skipped.
constexpr const char* HEADING_NOT_COMPLETED = "Not completed";
constexpr const char* HEADING_SKIPPED = "Skipped";
constexpr const char* REASON_PEER_HAS_IT = "the peer already has it";
constexpr const char* REASON_HERE_ALREADY = "already here, whole";

// A text cut to fit never ends inside a UTF-8 character.
size_t cut_at_character(const char* text, size_t limit) {
    size_t length = strnlen(text, limit + 1);
    if (length <= limit) return length;
    while (limit > 0 && (static_cast<uint8_t>(text[limit]) & 0xC0) == 0x80) --limit;
    return limit;
}

void note(const char* name, const char* reason, const char* heading = HEADING_NOT_COMPLETED) {
    if (outcome.noted_count == MAX_NOTED) {
        ++outcome.unlisted_count;
        return;
    }
    noted_file& n = outcome.noted[outcome.noted_count++];
    printable_name(n.name, sizeof n.name, name);  // cut to fit, never inside a character
    n.reason = reason;
    n.heading = heading;
}

void note_queue(const file_queue& queue, const char* reason) {
    for (const file_entry* e = queue.head; e != nullptr; e = e->next) note(shown_name(e), reason);
}

// Everything that did not complete and was not noted as a result yet.
void note_unfinished() {
    for (int i = 0; i < files.unsent_count; ++i) note(files.unsent[i].name, files.unsent[i].reason);
    outcome.unlisted_count += files.unsent_more;
    for (const file_entry* e = finished_queue.head; e != nullptr; e = e->next) note_result(e);
    note_queue(sending.in_transit_queue, REASON_UNCONFIRMED);
    note_queue(sending.send_queue, REASON_NOT_SENT);
    note_queue(sending.offered_queue, REASON_NO_ANSWER);
    note_queue(files.upload_queue, REASON_NOT_OFFERED);
    if (receiving.stream.current != nullptr)
        note(shown_name(receiving.stream.current), REASON_PART_RECEIVED);
    note_queue(receiving.receive_queue, REASON_NOT_RECEIVED);
    note_queue(receiving.retry_queue, REASON_NOT_AGAIN);
    note_queue(receiving.requested_queue, REASON_UNANSWERED);
    note_queue(files.request_queue, REASON_NOT_REQUESTED);
    note_queue(files.receive_names, REASON_NOT_ARRIVED);
}

// "Received 2 file(s), 40960 bytes, 955 cps average", the rate only when one was measured.
// The bytes are those that crossed, or `written` when given: received bytes are counted as
// written to files, since a download cut off leaves bytes landed that never reached one.
void direction_totals(char* out, size_t size, const char* verb, const rate_state& rates,
                      const int64_t* written = nullptr) {
    int64_t bytes = 0;
    int32_t rate = 0;
    run_totals(&rates, &bytes, &rate);
    if (written != nullptr) bytes = *written;
    int n = snprintf(out, size, "%s %d file(s), %" PRId64 " bytes", verb, rates.files_done, bytes);
    if (rate > 0 && n > 0 && static_cast<size_t>(n) < size)
        snprintf(out + n, size - static_cast<size_t>(n), ", %d cps average", rate);
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
    format_seconds(left, sizeof left, rate > 0 ? (entry->length - done + rate - 1) / rate : -1);
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

// The files that did not complete, and why, one line each: on the console after the totals
// (device mode), on standard error in door mode, where nothing else would name them.
void print_noted(void (*write_line)(const char*), const char* line_end) {
    char line[PROGRESS_LINE_SIZE];
    note_unfinished();
    for (int i = 0; i < outcome.noted_count; ++i) {
        const noted_file& n = outcome.noted[i];
        snprintf(line, sizeof line, "%s: %s (%s)%s", n.heading, n.name, n.reason, line_end);
        write_line(line);
    }
    if (outcome.unlisted_count > 0) {
        snprintf(line, sizeof line, "Not completed: %d more.%s", outcome.unlisted_count, line_end);
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
    print_noted(console_message, "");
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
    {ST_CHECK_FAILED, "File check failed"},
};

const char* result_message(uint8_t letter) {
    for (const result_row& r : result_table)
        if (r.letter == letter) return r.message;
    return nullptr;
}

}  // namespace

void note_result(const file_entry* entry) {
    const char* message = nullptr;
    char detail[8];
    if (entry->status == ST_DOWNLOADS_DONE || entry->status == ST_UPLOADS_DONE) return;
    if (entry->status == ST_HAVE_IT) {
        // Both ends have the file whole: nothing failed. Only an upload entry stands for a file.
        note(shown_name(entry), entry->inode != 0 ? REASON_PEER_HAS_IT : REASON_HERE_ALREADY,
             HEADING_SKIPPED);
        return;
    }
    if (result_text(entry, &message, detail, sizeof detail)) note(shown_name(entry), message);
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
        print_noted(console_error, "\n");
    }
}

int result_text(const file_entry* entry, const char** message, char* detail, size_t detail_size) {
    *message = result_message(entry->status);
    if (*message == nullptr) return 0;
    if (entry->status == ST_DOWNLOADS_DONE)
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
