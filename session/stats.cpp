#include "session/stats.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "files/names.h"
#include "files/paths.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"

stats_state stats;

namespace {

constexpr int32_t NO_RATE_SHOWN = 9999;  // a rate of 0 is logged as this

constexpr int LOG_LINE_SIZE = PATH_SIZE + 128;  // the name and the fixed fields

int32_t rate_of(int64_t bytes, int64_t ms) {
    if (bytes <= 0 || ms <= 0) return 0;
    int64_t rate = bytes * 1000 / ms;
    return rate > INT32_MAX ? INT32_MAX : static_cast<int32_t>(rate);
}

// Once a refresh: the bytes that had crossed by now. The front sample is kept as the newest
// one old enough to start the current rate's window; an older one never will again. A full
// list takes no more, which only moves a window's start earlier.
void remember_sample(rate_state* r, int64_t now) {
    if (r->sample_count < FLOW_SAMPLES)
        r->samples[r->sample_count++] = flow_sample{r->crossed, now};
    int drop = 0;
    while (drop + 1 < r->sample_count && r->samples[drop + 1].ms <= now - current_window_ms) ++drop;
    if (drop == 0) return;
    r->sample_count -= drop;
    memmove(r->samples, r->samples + drop,
            sizeof r->samples[0] * static_cast<size_t>(r->sample_count));
}

// The bytes that crossed in about the last current_window_ms: since the newest sample that
// old, or since the batch's start. The same at both ends: bytes landed here, or bytes the
// peer acknowledged, both of which follow the line and not the bytes put into frames
// (on a slow line a window of those lies many seconds ahead). Nothing crossed for that
// long: 0.
int32_t current_rate_now(const rate_state* r, int64_t n, int64_t now) {
    if (now - r->crossed_ms >= current_window_ms) return 0;
    flow_sample from{r->batch_base, r->rate_start_ms};
    const flow_sample& front = r->samples[0];
    if (r->sample_count > 0 && front.ms > from.ms && front.ms <= now - current_window_ms &&
        front.lead <= n)
        from = front;
    return rate_of(n - from.lead, now - from.ms);
}

// The running batch's bytes and the time they took, up to the last that crossed. A batch
// that crossed within one millisecond (an unthrottled line) has its bytes and no time.
void batch_so_far(const rate_state* r, int64_t* bytes, int64_t* ms) {
    *bytes = 0;
    *ms = 0;
    if (r->rate_start_ms == 0 || r->crossed <= r->batch_base) return;
    *bytes = r->crossed - r->batch_base;
    *ms = std::max<int64_t>(0, r->crossed_ms - r->rate_start_ms);
}

// The batch is over: its bytes and time go into the run's tally.
void close_batch(rate_state* r) {
    int64_t bytes = 0;
    int64_t ms = 0;
    batch_so_far(r, &bytes, &ms);
    r->run_bytes += bytes;
    r->run_ms += ms;
    r->rate_start_ms = 0;
    r->sample_count = 0;
}

}  // namespace

void update_rates(rate_state* r, const transfer_figures* figures, int64_t n) {
    if (figures->files_left == 0) {
        close_batch(r);
        r->current_rate = 0;  // nothing moves; the average keeps its last value
        return;
    }
    if (r->rate_start_ms == 0) return;  // nothing of the batch has begun to cross
    const int64_t now = serial.clock_ms;
    remember_sample(r, now);
    const int64_t elapsed = now - r->rate_start_ms;
    if (elapsed <= 0) return;
    r->average_rate = rate_of(n - r->batch_base, elapsed);
    r->current_rate = current_rate_now(r, n, now);
}

void rates_accept(rate_state* r, file_entry* entry) {
    entry->stream_start = r->accepted;
    entry->start_ms = serial.clock_ms;
    entry->started = 0;
    int64_t length = entry->length - entry->offset;
    if (length > 0) r->accepted += length;
}

void rates_restart(rate_state* r, const transfer_figures* figures) {
    close_batch(r);
    r->accepted = figures->bytes_moved;
    r->lead = figures->bytes_moved;
    r->crossed = figures->bytes_moved;
    r->lead_ms = serial.clock_ms;
    r->crossed_ms = serial.clock_ms;
}

void stream_grew(transfer_direction* stream, rate_state* rates, file_queue* later, int64_t extra) {
    stream->figures.bytes_left = figure_add(stream->figures.bytes_left, extra);
    rates->accepted += extra;
    for (file_entry* e = later->head; e != nullptr; e = e->next) e->stream_start += extra;
}

void format_done_left(char* out, size_t size, const transfer_figures& figures, int64_t bytes_left,
                      int32_t rate) {
    if (figures.files_left == 0) {
        snprintf(out, size, "-");
        return;
    }
    int64_t total =
        static_cast<uint32_t>(figures.total_bytes);  // a wrapped figure reads as its bits
    int64_t left = std::clamp<int64_t>(bytes_left, 0, total);
    int percent = total > 0 ? static_cast<int>((total - left) * 100 / total) : 100;
    int64_t seconds = rate > 0 ? (left + rate - 1) / rate : -1;
    if (seconds > max_time_left_s) seconds = -1;  // no estimate worth the room
    char time[16];
    format_seconds(time, sizeof time, seconds);
    snprintf(out, size, "%d%% %s", percent, time);
}

int32_t file_rate(const rate_state* r, const file_entry* entry, bool whole) {
    int64_t length = entry->length - entry->offset;
    if (!entry->started || length <= 0) return r->average_rate;  // no byte of its own crossed
    int64_t bytes =
        whole ? length : std::clamp<int64_t>(r->crossed - entry->stream_start, 0, length);
    return rate_of(bytes, serial.clock_ms - entry->start_ms);
}

int32_t file_completed(rate_state* r, const file_entry* entry) {
    r->files_done += 1;
    return file_rate(r, entry, true);
}

void run_totals(const rate_state* r, int64_t* bytes, int32_t* rate) {
    int64_t ms = 0;
    batch_so_far(r, bytes, &ms);
    *bytes += r->run_bytes;
    *rate = rate_of(*bytes, ms + r->run_ms);
}

void write_log_line(char letter, const file_entry* entry, int32_t rate) {
    if (stats.log_fd == -1) return;
    // A control character in a name would break the line, or forge one.
    char name[PATH_SIZE];
    // A tree's file by its path in the tree, the same at both ends.
    printable_name(name, sizeof name, shown_name(entry));
    split_at_blank(name);  // callers split the line at blanks: the field is one word
    char line[LOG_LINE_SIZE];
    int length =
        snprintf(line, sizeof line, "%c %6ld %5ld bps %4d cps   0 errors     0 %4d %s %lu\n",
                 letter, static_cast<long>(entry->length), static_cast<long>(stats.line_speed),
                 static_cast<int>(rate == 0 ? NO_RATE_SHOWN : rate),
                 static_cast<int>(link_counters().block_size), name, 0UL);
    if (length <= 0) return;
    if (length >= static_cast<int>(sizeof line)) length = static_cast<int>(sizeof line) - 1;
    ssize_t ignored = write(stats.log_fd, line, static_cast<size_t>(length));
    (void)ignored;  // a failed log write is not noticed
}

void format_seconds(char* out, size_t size, int64_t seconds) {
    if (seconds < 0) {
        snprintf(out, size, "--:--");
    } else if (seconds >= 3600) {
        snprintf(out, size, "%" PRId64 ":%02d:%02d", seconds / 3600,
                 static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    } else {
        snprintf(out, size, "%d:%02d", static_cast<int>(seconds / 60),
                 static_cast<int>(seconds % 60));
    }
}

void set_log_path(const char* path) { stats.log_path = path; }

void set_line_speed(int32_t bps) { stats.line_speed = bps; }

void open_transfer_log() {
    stats.log_fd = -1;
    if (stats.log_path == nullptr) return;
    // Truncated: a caller must not credit an earlier run's lines again. Appended: every line
    // goes to the end, whatever else may have moved the file's offset.
    stats.log_fd = open(stats.log_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (stats.log_fd < 0) report_name("", stats.log_path, strerror(errno));  // the run goes on
}

void close_transfer_log() {
    if (stats.log_fd == -1) return;
    close(stats.log_fd);
    stats.log_fd = -1;
}

void format_saving(char* out, size_t size, int64_t file_bytes, int64_t stream_bytes) {
    if (stream_bytes <= 0 || file_bytes <= 0) {
        snprintf(out, size, "%s", "");
        return;
    }
    // Below 1 in hundredths: data that does not compress shows x0.99, not a loss of a tenth.
    if (file_bytes < stream_bytes) {
        snprintf(out, size, "x0.%02" PRId64, file_bytes * 100 / stream_bytes);
        return;
    }
    int64_t tenths = file_bytes * 10 / stream_bytes;
    snprintf(out, size, "x%" PRId64 ".%" PRId64, tenths / 10, tenths % 10);
}
