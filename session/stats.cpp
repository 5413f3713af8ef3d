#include "session/stats.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "files/names.h"
#include "files/paths.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/display.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/send.h"

stats_state stats;

namespace {

constexpr int32_t NO_RATE_SHOWN = 9999;  // a rate of 0 is logged as this

constexpr int LOG_LINE_SIZE = PATH_SIZE + 128;  // the name and the fixed fields

struct result_row {
    uint8_t letter;
    const char* message;
};

constexpr result_row result_table[] = {
    {ST_UPLOAD_ABORTED, "Upload aborted"},
    {ST_READ_ERROR, "File read error"},
    {ST_OPEN_ERROR, "File open error"},
    {ST_SIZE_ERROR, "File size error"},
    {ST_DOWNLOAD_ABORTED, "Download aborted"},
    {ST_WRITE_ERROR, "File write error"},
    {ST_DOWNLOADS_DONE, "Download completed"},
    {ST_UPLOADS_DONE, "Upload completed"},
    {ST_EXISTS, "File already exist"},
    {ST_DUPLICATE, "Duplicate file ignored"},
    {ST_NOT_FOUND, "Requested file not found"},
    {ST_DENIED, "Download request denied"},
    {ST_REFUSED, "Upload request denied"},
    {ST_TOO_MANY, "Too many files to transfer"},
    {ST_HAVE_IT, "File already transferred"},
    {STATUS_NAME_TOO_LONG, "File name too long"},
};

const char* result_message(uint8_t letter) {
    for (const result_row& r : result_table)
        if (r.letter == letter) return r.message;
    return nullptr;
}

// The upload's file figures are those of the file shown, the oldest one in transit: its
// bytes left are the ones the peer has not acknowledged (those read into the data
// channels may wait a long while on a slow line).
void upload_file_figures(int32_t* size, int32_t* bytes_left) {
    *size = 0;
    *bytes_left = 0;
    const file_entry* entry = sending.in_transit_queue.head;
    if (entry == nullptr) return;
    int64_t length = std::max<int64_t>(0, int64_t{entry->size} - entry->offset);
    int64_t acknowledged = std::clamp<int64_t>(stats.upload.crossed - entry->stream_start, 0, length);
    *size = entry->size;
    *bytes_left = static_cast<int32_t>(length - acknowledged);
}

void show_direction_rows(const transfer_figures& down, int32_t down_held, const rate_state& down_rates,
                         const transfer_figures& up, int32_t up_queued, const rate_state& up_rates) {
    int32_t up_file_size = 0;
    int32_t up_file_left = 0;
    upload_file_figures(&up_file_size, &up_file_left);
    const int32_t down_values[] = {down.file_size,   down.file_bytes_left,   down.total_files,
                                   down.total_bytes, down.files_left,        down.bytes_left - down_held,
                                   down_rates.average_rate, down_rates.current_rate};
    const int32_t up_values[] = {up_file_size,   up_file_left,  up.total_files,
                                 up.total_bytes, up.files_left, up.bytes_left + up_queued,
                                 up_rates.average_rate, up_rates.current_rate};
    for (size_t i = 0; i < sizeof down_values / sizeof down_values[0]; ++i) {
        int row = FIRST_FIGURE_ROW + static_cast<int>(i);
        display.figure(row, DOWNLOAD_COLUMN, down_values[i]);
        display.figure(row, UPLOAD_COLUMN, up_values[i]);
    }
    char text[DONE_TEXT_SIZE];
    format_done_left(text, sizeof text, down, down.bytes_left - down_held, down_rates.average_rate);
    display.done_left(DOWNLOAD_COLUMN, text);
    format_done_left(text, sizeof text, up, up.bytes_left + up_queued, up_rates.average_rate);
    display.done_left(UPLOAD_COLUMN, text);
}

void show_link_rows() {
    const int64_t values[] = {delivery.window_size, channels.in_flight_total, delivery.block_size,
                              delivery.rx_packets,  delivery.rx_bytes,        delivery.rx_errors,
                              delivery.tx_packets,  delivery.tx_bytes,        delivery.tx_errors};
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)
        display.figure(LINK_FIRST_ROW + static_cast<int>(i), LINK_COLUMN, values[i]);
}

// Bytes of the data channels, summed over the sixteen of each direction.
struct channel_counts {
    int64_t held = 0;      // landed in the receive rings, not yet written to a file
    int64_t queued = 0;    // in the send rings, not yet acknowledged
    int64_t unframed = 0;  // of those, not yet put into a frame
};

channel_counts count_data_channels() {
    channel_counts c;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) {
        if (channels.recv_channels[ch] != nullptr) c.held += recv_queued(ch);
        if (const link_channel* rec = channels.send_channels[ch]; rec != nullptr) {
            c.queued += rec->queued;
            c.unframed += rec->queued - rec->in_flight;
        }
    }
    return c;
}

int32_t rate_of(int64_t bytes, int64_t ms) {
    if (bytes <= 0 || ms <= 0) return 0;
    int64_t rate = bytes * 1000 / ms;
    return rate > INT32_MAX ? INT32_MAX : static_cast<int32_t>(rate);
}

// The file's bytes may have begun to cross since `since`, never before it was accepted.
// The first file of a batch starts the batch's clock.
void mark_first_byte(rate_state* r, file_entry* entry, int64_t since) {
    if (since > entry->start_ms) entry->start_ms = since;
    entry->started = 1;
    if (r->rate_start_ms != 0) return;
    r->rate_start_ms = entry->start_ms;
    r->batch_base = entry->stream_start;
    r->sample_count = 0;
}

// Marks the file when its first byte lies below the lead; false when it does not.
bool mark_if_reached(rate_state* r, file_entry* entry, int64_t since) {
    if (entry->started) return true;
    if (entry->stream_start >= r->lead) return false;
    mark_first_byte(r, entry, since);
    return true;
}

// Files in stream order, up to the first not reached: the ones behind it lie further on.
void mark_from(rate_state* r, file_entry* entry, int64_t since) {
    while (entry != nullptr && mark_if_reached(r, entry, since)) entry = entry->next;
}

// Bytes land in the receive rings block by block. A block that lands now followed the
// previous one on the wire, whose end had not yet been read at the look before it landed.
void look_download(const channel_counts& c, int64_t now) {
    rate_state* r = &stats.download;
    int64_t landed = receiving.figures.bytes_moved + c.held;
    if (landed > r->lead) {
        r->lead = landed;
        file_entry* current = receiving.current_incoming;
        if (current == nullptr || mark_if_reached(r, current, r->lead_ms))
            mark_from(r, receiving.receive_queue.head, r->lead_ms);
        r->lead_ms = r->last_look_ms;
    }
    if (landed > r->crossed) {
        r->crossed = landed;
        r->crossed_ms = now;
    }
    r->last_look_ms = now;
}

// Upload bytes begin to cross once they are put into a frame, which happened since the
// last look for whatever is framed now; they have crossed once the peer acknowledged them.
void look_upload(const channel_counts& c, int64_t now) {
    rate_state* r = &stats.upload;
    int64_t framed = sending.figures.bytes_moved - c.unframed;
    if (framed > r->lead) {
        r->lead = framed;
        mark_from(r, sending.in_transit_queue.head, r->last_look_ms);
    }
    r->lead_ms = now;
    int64_t acknowledged = sending.figures.bytes_moved - c.queued;
    if (acknowledged > r->crossed) {
        r->crossed = acknowledged;
        r->crossed_ms = now;
    }
    r->last_look_ms = now;
}

// Once a refresh: where the lead stood. The front sample is kept as the newest one that
// can start the current rate's window now (old enough, its lead reached by the crossed
// bytes): an older one never can again. A full list takes no more, which only moves a
// window's start earlier.
void remember_sample(rate_state* r, int64_t now) {
    if (r->sample_count < FLOW_SAMPLES) r->samples[r->sample_count++] = flow_sample{r->lead, r->lead_ms};
    auto can_start = [&](const flow_sample& f) { return f.ms <= now - current_window_ms && f.lead <= r->crossed; };
    int drop = 0;
    while (drop + 1 < r->sample_count && can_start(r->samples[drop + 1])) ++drop;
    if (drop == 0) return;
    r->sample_count -= drop;
    memmove(r->samples, r->samples + drop, sizeof r->samples[0] * static_cast<size_t>(r->sample_count));
}

// The bytes that crossed in about the last current_window_ms, over a time that holds all
// of their crossing: from a sample at whose moment none beyond its lead had begun to
// cross, or from the batch's start. Nothing crossed for that long: 0.
int32_t current_rate_now(const rate_state* r, int64_t n, int64_t now) {
    if (now - r->crossed_ms >= current_window_ms) return 0;
    flow_sample from{r->batch_base, r->rate_start_ms};
    const flow_sample& front = r->samples[0];
    if (r->sample_count > 0 && front.ms > from.ms && front.ms <= now - current_window_ms && front.lead <= n)
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

void watch_line() {
    channel_counts c = count_data_channels();
    look_download(c, serial.clock_ms);
    look_upload(c, serial.clock_ms);
}

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
    int64_t length = int64_t{entry->size} - entry->offset;
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

void format_done_left(char* out, size_t size, const transfer_figures& figures, int64_t bytes_left, int32_t rate) {
    if (figures.files_left == 0) {
        snprintf(out, size, "-");
        return;
    }
    int64_t total = static_cast<uint32_t>(figures.total_bytes);  // a wrapped figure reads as its bits
    int64_t left = std::clamp<int64_t>(bytes_left, 0, total);
    int percent = total > 0 ? static_cast<int>((total - left) * 100 / total) : 100;
    int64_t seconds = rate > 0 ? (left + rate - 1) / rate : -1;
    if (seconds > max_time_left_s) seconds = -1;  // no estimate worth the room
    char time[16];
    format_seconds(time, sizeof time, seconds);
    snprintf(out, size, "%d%% %s", percent, time);
}

int32_t file_rate(const rate_state* r, const file_entry* entry, bool whole) {
    int64_t length = int64_t{entry->size} - entry->offset;
    if (!entry->started || length <= 0) return r->average_rate;  // no byte of its own crossed
    int64_t bytes = whole ? length : std::clamp<int64_t>(r->crossed - entry->stream_start, 0, length);
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

void refresh_statistics() {
    if (serial.clock == stats.last_refresh_time) return;
    stats.last_refresh_time = serial.clock;
    watch_line();  // the rates and the bytes left shown together come from one look
    channel_counts c = count_data_channels();
    update_rates(&stats.download, &receiving.figures, stats.download.crossed);
    update_rates(&stats.upload, &sending.figures, stats.upload.crossed);
    if (cycle.yell_count > 0) {
        cycle.yell_count -= 1;
        display.beep();
    }
    show_direction_rows(receiving.figures, static_cast<int32_t>(c.held), stats.download, sending.figures,
                        static_cast<int32_t>(c.queued), stats.upload);
    show_link_rows();
}

void write_log_line(char letter, const file_entry* entry, int32_t rate) {
    if (stats.log_fd == -1) return;
    // A control character in a name would break the line, or forge one.
    char name[PATH_SIZE];
    printable_name(name, sizeof name, entry->name);
    split_at_blank(name);  // callers split the line at blanks: the field is one word
    char line[LOG_LINE_SIZE];
    int length = snprintf(line, sizeof line, "%c %6ld %5ld bps %4d cps   0 errors     0 %4d %s %lu\n",
                          letter, static_cast<long>(entry->size), static_cast<long>(stats.line_speed),
                          static_cast<int>(rate == 0 ? NO_RATE_SHOWN : rate), delivery.block_size, name,
                          0UL);
    if (length <= 0) return;
    if (length >= static_cast<int>(sizeof line)) length = static_cast<int>(sizeof line) - 1;
    ssize_t ignored = write(stats.log_fd, line, static_cast<size_t>(length));
    (void)ignored;  // a failed log write is not noticed
}

int result_text(const file_entry* entry, const char** message, char* detail, size_t detail_size) {
    *message = result_message(entry->status);
    if (*message == nullptr) return 0;
    if (entry->status == ST_DOWNLOADS_DONE)
        snprintf(detail, detail_size, "%ld file(s) received", static_cast<long>(receiving.figures.total_files));
    else if (entry->status == ST_UPLOADS_DONE)
        snprintf(detail, detail_size, "%ld file(s) sent", static_cast<long>(sending.figures.total_files));
    else
        snprintf(detail, detail_size, "%s", entry->name);  // the whole name, blanks and all
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
