#include "session/figures.h"

#include <algorithm>
#include <cstdio>

#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/display.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"

namespace {

// The upload's file figures are those of the file shown, the oldest one in transit: its
// bytes left are the ones the peer has not acknowledged (those read into the data
// channels may wait a long while on a slow line).
void upload_file_figures(int64_t* size, int64_t* bytes_left) {
    *size = 0;
    *bytes_left = 0;
    const file_entry* entry = sending.in_transit_queue.head;
    if (entry == nullptr) return;
    int64_t length = std::max<int64_t>(0, entry->length - entry->offset);
    int64_t acknowledged =
        std::clamp<int64_t>(stats.upload.crossed - entry->stream_start, 0, length);
    *size = entry->length;
    *bytes_left = length - acknowledged;
}

// The download's likewise, of the file its name shows (none between two files): bytes left
// are those not landed yet.
void download_file_figures(int64_t* size, int64_t* bytes_left) {
    *size = 0;
    *bytes_left = 0;
    const file_entry* entry = receiving.stream.current;
    if (entry == nullptr || receiving.stream.figures.files_left == 0) return;
    int64_t length = std::max<int64_t>(0, entry->length - entry->offset);
    int64_t landed = std::clamp<int64_t>(stats.download.crossed - entry->stream_start, 0, length);
    *size = entry->length;
    *bytes_left = length - landed;
}

// The status area's figures are 32 bits: a file past 2 GiB wraps there, as the sums do.
int32_t shown(int64_t figure) { return figure_add(0, figure); }

void show_direction_rows(const transfer_figures& down, int32_t down_held,
                         const rate_state& down_rates, const transfer_figures& up,
                         int32_t up_queued, const rate_state& up_rates) {
    int64_t up_file_size = 0;
    int64_t up_file_left = 0;
    upload_file_figures(&up_file_size, &up_file_left);
    int64_t down_file_size = 0;
    int64_t down_file_left = 0;
    download_file_figures(&down_file_size, &down_file_left);
    const int32_t down_values[] = {shown(down_file_size),   shown(down_file_left),
                                   down.total_files,        down.total_bytes,
                                   down.files_left,         down.bytes_left - down_held,
                                   down_rates.average_rate, down_rates.current_rate};
    const int32_t up_values[] = {shown(up_file_size),   shown(up_file_left),
                                 up.total_files,        up.total_bytes,
                                 up.files_left,         up.bytes_left + up_queued,
                                 up_rates.average_rate, up_rates.current_rate};
    for (size_t i = 0; i < sizeof down_values / sizeof down_values[0]; ++i) {
        int row = FIRST_FIGURE_ROW + static_cast<int>(i);
        display.figure(row, DOWNLOAD_COLUMN, down_values[i]);
        display.figure(row, UPLOAD_COLUMN, up_values[i]);
    }
    char text[DONE_TEXT_SIZE];
    format_done_left(text, sizeof text, down, down.bytes_left - down_held, down_rates.current_rate);
    display.done_left(DOWNLOAD_COLUMN, text);
    format_done_left(text, sizeof text, up, up.bytes_left + up_queued, up_rates.current_rate);
    display.done_left(UPLOAD_COLUMN, text);
}

// What the line's bytes held, both ways together, while both ends compress: "x4.1"; "on"
// before any has moved, "off" when an end does not compress, "-" until the peer has said.
void show_compression() {
    char text[DONE_TEXT_SIZE] = "-";
    if (peer_opened()) snprintf(text, sizeof text, "%s", announcement.used.compress ? "on" : "off");
    if (announcement.used.compress) {
        int64_t up_file = 0, up_stream = 0, down_file = 0, down_stream = 0;
        compressed_crossing(false, &up_file, &up_stream);
        compressed_crossing(true, &down_file, &down_stream);
        format_saving(text, sizeof text, up_file + down_file, up_stream + down_stream);
    }
    if (text[0] == '\0') snprintf(text, sizeof text, "on");
    display.done_left(LINK_COLUMN, text);
}

// The bytes rows count what the line carried, frames, acknowledgements and all: the
// link's own counts are of data delivered, which an end that only receives has little of.
void show_link_rows() {
    const link_figures f = link_counters();
    const int64_t values[] = {f.window_size, f.in_flight,          f.block_size,
                              f.rx_packets,  serial.bytes_read,    f.rx_errors,
                              f.tx_packets,  serial.bytes_written, f.tx_errors};
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
        if (recv_up(ch)) c.held += recv_queued(ch);
        if (send_up(ch)) {
            c.queued += send_queued(ch);
            c.unframed += send_unframed(ch);
        }
    }
    return c;
}

}  // namespace

void compressed_crossing(bool download, int64_t* file_bytes, int64_t* stream_bytes) {
    if (download) {
        *file_bytes = stats.download.marked_file;
        *stream_bytes = stats.download.marked_stream;
        return;
    }
    // The peer's acknowledgements count the compressed bytes; the sender's flush marks say
    // which file bytes they hold.
    *stream_bytes = sending.stream.stream_moved - count_data_channels().queued;
    *file_bytes = upload_file_bytes(*stream_bytes);
}

namespace {

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
    // Compressed bytes waiting in the rings hold file bytes nobody can count before they are
    // decompressed, which happens as they come: only what was written counts then.
    int64_t landed = receiving.stream.figures.bytes_moved +
                     (receiving.stream.squeezed || receiving.stream.batched ? 0 : c.held);
    if (landed > r->lead) {
        r->lead = landed;
        file_entry* current = receiving.stream.current;
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
    // The channels hold the data stream, compressed while both ends compress: its positions
    // are turned into file bytes.
    int64_t framed = upload_file_bytes(sending.stream.stream_moved - c.unframed);
    if (framed > r->lead) {
        r->lead = framed;
        mark_from(r, sending.in_transit_queue.head, r->last_look_ms);
    }
    r->lead_ms = now;
    int64_t acknowledged = upload_file_bytes(sending.stream.stream_moved - c.queued);
    if (acknowledged > r->crossed) {
        r->crossed = acknowledged;
        r->crossed_ms = now;
    }
    r->last_look_ms = now;
}

}  // namespace

void watch_line() {
    channel_counts c = count_data_channels();
    look_download(c, serial.clock_ms);
    look_upload(c, serial.clock_ms);
}

bool refresh_statistics() {
    // Once a second, and at once when a current file changed: a name never stands beside
    // the figures of the file before it.
    const bool new_second = serial.clock != stats.last_refresh_time;
    if (!new_second && !stats.figures_due) return false;
    stats.last_refresh_time = serial.clock;
    stats.figures_due = false;
    watch_line();  // the rates and the bytes left shown together come from one look
    channel_counts c = count_data_channels();
    update_rates(&stats.download, &receiving.stream.figures, stats.download.crossed);
    update_rates(&stats.upload, &sending.stream.figures, stats.upload.crossed);
    // What has left the file and not crossed: in the rings, and while both ends compress, in
    // the compressor as well (the rings' bytes counted as the file bytes they hold).
    int64_t down_held = receiving.stream.squeezed || receiving.stream.batched ? 0 : c.held;
    int64_t up_unacknowledged = sending.stream.figures.bytes_moved -
                                upload_file_bytes(sending.stream.stream_moved - c.queued);
    show_direction_rows(receiving.stream.figures, static_cast<int32_t>(down_held), stats.download,
                        sending.stream.figures, static_cast<int32_t>(up_unacknowledged),
                        stats.upload);
    show_compression();
    show_link_rows();
    return new_second;
}
