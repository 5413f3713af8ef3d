#include "session/stats.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "files/paths.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/display.h"
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

void show_direction_rows(const transfer_figures& down, int32_t down_held, const rate_state& down_rates,
                         const transfer_figures& up, int32_t up_queued, const rate_state& up_rates) {
    const int32_t down_values[] = {down.file_size,   down.file_bytes_left,   down.total_files,
                                   down.total_bytes, down.files_left,        down.bytes_left - down_held,
                                   down_rates.average_rate, down_rates.current_rate};
    const int32_t up_values[] = {up.file_size,   up.file_bytes_left,   up.total_files,
                                 up.total_bytes, up.files_left,        up.bytes_left + up_queued,
                                 up_rates.average_rate, up_rates.current_rate};
    for (size_t i = 0; i < sizeof down_values / sizeof down_values[0]; ++i) {
        int row = FIRST_FIGURE_ROW + static_cast<int>(i);
        display.figure(row, DOWNLOAD_COLUMN, down_values[i]);
        display.figure(row, UPLOAD_COLUMN, up_values[i]);
    }
}

void show_link_rows() {
    const int64_t values[] = {delivery.window_size, channels.in_flight_total, delivery.block_size,
                              delivery.rx_packets,  delivery.rx_bytes,        delivery.rx_errors,
                              delivery.tx_packets,  delivery.tx_bytes,        delivery.tx_errors};
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)
        display.figure(LINK_FIRST_ROW + static_cast<int>(i), LINK_COLUMN, values[i]);
}

}  // namespace

void update_rates(rate_state* rates, transfer_figures* figures, int64_t n) {
    if (figures->files_left == 0) {
        rates->rate_start = 0;
        figures->bytes_moved = 0;
        rates->window_bytes = 0;
        return;  // the shown rates keep their last values
    }
    if (n == 0) return;
    const int32_t now = static_cast<int32_t>(serial.clock);
    if (rates->rate_start == 0) {
        rates->rate_start = now;
        rates->window_start = now;
    }
    int32_t elapsed = now - rates->rate_start;
    if (elapsed <= 0) elapsed = 1;
    rates->average_rate = static_cast<int32_t>(n / elapsed);
    if (elapsed <= rate_settle_s) {
        rates->current_rate = rates->average_rate;
    } else if (now - rates->window_start >= rate_window_s) {
        rates->current_rate = static_cast<int32_t>((n - rates->window_bytes) / (now - rates->window_start));
        rates->window_bytes = n;
        rates->window_start = now;
    }
}

void refresh_statistics() {
    if (serial.clock == stats.last_refresh_time) return;
    stats.last_refresh_time = serial.clock;
    int32_t held = 0;
    int32_t queued = 0;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) {
        if (channels.recv_channels[ch] != nullptr) held += recv_queued(ch);
        if (channels.send_channels[ch] != nullptr) queued += send_queued(ch);
    }
    update_rates(&stats.download, &receiving.figures, receiving.figures.bytes_moved + held);
    update_rates(&stats.upload, &sending.figures, sending.figures.bytes_moved - queued);
    if (cycle.yell_count > 0) {
        cycle.yell_count -= 1;
        display.beep();
    }
    show_direction_rows(receiving.figures, held, stats.download, sending.figures, queued, stats.upload);
    show_link_rows();
}

void write_log_line(char letter, const file_entry* entry, int32_t rate) {
    if (stats.log_fd == -1) return;
    char name[PATH_SIZE];
    snprintf(name, sizeof name, "%s", entry->name);
    split_at_blank(name);  // callers split the line at blanks: the field is one word
    // A control byte in a name would break the line, or forge one.
    for (char* p = name; *p != 0; ++p)
        if (static_cast<uint8_t>(*p) < 32) *p = '?';
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
    free_entry(entry);  // whatever its letter
}
