#include "session/stall.h"

#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"

stall_state stall;

namespace {

int64_t data_queued(int (*queued)(int)) {
    int64_t n = 0;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) n += queued(ch);
    return n;
}

// True when the direction has waited `limit` seconds with no progress on an idle link;
// mark -1: no wait.
bool stalled(stall_watch* w, int64_t mark, const file_entry* subject, time_t limit, bool idle) {
    if (mark < 0 || mark != w->mark || subject != w->subject || !idle) {
        *w = stall_watch{mark, subject, serial.clock};
        return false;
    }
    return serial.clock - w->since >= limit;
}

// The receiver waits for data: every byte of the stream that arrived is progress.
void watch_download(bool idle) {
    const transfer_direction& stream = receiving.stream;
    int64_t mark = -1;
    time_t limit = stall_timeout_s;
    if (stream.current != nullptr && stream.abort_state == ABORT_NONE &&
        stream.phase != PHASE_PREFIX) {
        mark = stream.stream_moved + data_queued(recv_queued);
        if (stream.phase == PHASE_VERDICT)
            limit += static_cast<time_t>(stream.current->offset / stall_hash_bytes_per_s);
    }
    if (!stalled(&stall.download, mark, stream.current, limit, idle)) return;
    report_file_error("cannot receive", stream.current->name,
                      "no data came for a minute while the link was idle");
    abort_download(ST_STALLED);
}

// The sender waits for the peer to take its data and confirm the oldest file.
void watch_upload(bool idle) {
    const transfer_direction& stream = sending.stream;
    const file_entry* oldest = sending.in_transit_queue.head;
    int64_t mark = -1;
    if (oldest != nullptr && stream.abort_state == ABORT_NONE && !stream_hash_due())
        mark = stream.stream_moved - data_queued(send_queued);
    if (!stalled(&stall.upload, mark, oldest, stall_timeout_s, idle)) return;
    report_file_error("sending", oldest->name,
                      "the peer took nothing and confirmed nothing for a minute");
    abort_upload(ST_STALLED);
}

}  // namespace

void watch_stalls() {
    // Idle: no block moved either way since the last look, and the peer's keep-alives come.
    const int64_t line = delivery.rx_bytes + delivery.tx_bytes;
    const bool idle = line == stall.line_mark && codec.link_interrupted == 0 &&
                      serial.clock - codec.last_rx_time <= stall_heard_s;
    stall.line_mark = line;
    watch_download(idle);
    watch_upload(idle);
}
