#include "session/stall.h"

#include "link/channels.h"
#include "link/codec.h"
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

// True when the direction has waited `limit` seconds with no progress; mark -1: no wait.
bool stalled(stall_watch* w, int64_t mark, const file_entry* subject, time_t limit) {
    bool heard = serial.clock - codec.last_rx_time <= stall_heard_s && codec.link_interrupted == 0;
    if (mark < 0 || mark != w->mark || subject != w->subject || !heard) {
        *w = stall_watch{mark, subject, serial.clock};
        return false;
    }
    return serial.clock - w->since >= limit;
}

// The receiver waits for data: every byte of the stream that arrived is progress.
void watch_download() {
    const transfer_direction& stream = receiving.stream;
    int64_t mark = -1;
    time_t limit = stall_timeout_s;
    if (stream.current != nullptr && stream.abort_state == ABORT_NONE &&
        stream.phase != PHASE_PREFIX) {
        mark = stream.stream_moved + data_queued(recv_queued);
        if (stream.phase == PHASE_VERDICT)
            limit += static_cast<time_t>(stream.current->offset / stall_hash_bytes_per_s);
    }
    if (!stalled(&stall.download, mark, stream.current, limit)) return;
    report_file_error("cannot receive", stream.current->name,
                      "no data came for a minute while the link was idle");
    abort_download(ST_STALLED);
}

// The sender waits for the peer to take its data and confirm the oldest file.
void watch_upload() {
    const transfer_direction& stream = sending.stream;
    const file_entry* oldest = sending.in_transit_queue.head;
    int64_t mark = -1;
    if (oldest != nullptr && stream.abort_state == ABORT_NONE && !stream_hash_due())
        mark = stream.stream_moved - data_queued(send_queued);
    if (!stalled(&stall.upload, mark, oldest, stall_timeout_s)) return;
    report_file_error("sending", oldest->name,
                      "the peer took nothing and confirmed nothing for a minute");
    abort_upload(ST_STALLED);
}

}  // namespace

void watch_stalls() {
    watch_download();
    watch_upload();
}
