// Test build of kestro for the benchmarks: with KESTRO_TRACE=FILE set it writes one line per
// link event, so a benchmark can tell when each block was first sent and when an end stalled.
//
//   <ms> <kind> <channel> <bytes> <unsent>
//
// ms: monotonic milliseconds (the same clock for both ends on one machine). kind: N new data
// (bytes: those never sent before), R data sent again, E enquiry about a block presumed lost,
// T timeout enquiry, A ACK and K NAK accepted, X frame that failed its check, F frame built
// (bytes: its length; its block, if any, is the N or R line just before). unsent: bytes queued
// in all send channels and not in flight, after the event. With KESTRO_TRACE_TIMER set too,
// each T line is followed by a "# ..." line of the retransmission timer's state.
//
// Two switches of this build only, for bench/faults.py and bench/throughput.py:
// KESTRO_SPOIL_DIGESTS=N sends the first N whole-file digests complemented (the peer's check
// of those files fails), KESTRO_NO_EXTENDED=1 announces no whole-file checks (the peer then
// meets an end that does not know them).
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "link/line_model.h"
#include "link/rate_meter.h"
#include "link/retransmit.h"
#include "serial/port.h"
#include "session/transfer.h"

namespace {

FILE* trace_file = nullptr;
bool timer_detail = false;  // KESTRO_TRACE_TIMER set: the timer's state after each T line

// Start offset and length of each channel's last block: a block from the same start is a
// repeat, since the read position moves on every acknowledgement.
struct last_block {
    long start = -1;
    int length = 0;
};
last_block last[LINK_CHANNELS];

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

long unsent_total() {
    long total = 0;
    for (const link_channel* rec : channels.send_channels)
        if (rec != nullptr) total += rec->queued - rec->in_flight;
    return total;
}

void write_event(link_event event, const link_channel* rec, int n) {
    char kind = '?';
    int bytes = n;
    switch (event) {
    case EVENT_BLOCK: {
        last_block& block = last[rec->number];
        long start = static_cast<long>(rec->read_pos - rec->buffer_start);
        bytes = start == block.start ? (n > block.length ? n - block.length : 0) : n;
        kind = bytes > 0 ? 'N' : 'R';
        if (start != block.start || n > block.length) block = {start, n};
        break;
    }
    case EVENT_ENQUIRY: kind = 'E'; break;
    case EVENT_TIMEOUT_ENQUIRY: kind = 'T'; break;
    case EVENT_ACK: kind = 'A'; break;
    case EVENT_NAK: kind = 'K'; break;
    case EVENT_FRAME: kind = 'F'; break;
    case EVENT_BAD_FRAME:
        if (n == 0) return;  // the `{}` before a frame after an idle line
        kind = 'X';
        break;
    }
    fprintf(trace_file, "%.1f %c %d %d %ld\n", now_ms(), kind, rec != nullptr ? rec->number : -1,
            bytes, unsent_total());
    static double last_rate_line = 0;
    if (kind == 'F' && timer_detail && now_ms() - last_rate_line >= 1000) {
        last_rate_line = now_ms();
        const retransmit_state& t = retransmit;
        const line_model_state& m = line_model;
        fprintf(trace_file,
                "# rate %ld heard %ld acked %ld free %ld min %ld srtt %ld busy %d caught %ld\n",
                long(m.rate), long(rate_meter.heard.rate), long(rate_meter.acked.rate),
                long(m.line_free_ms - serial.clock_ms), long(t.min_rtt_ms), long(t.srtt_ms),
                int(meter_peer_busy()), long(m.caught_up_ms));
    }
    if (kind == 'T' && timer_detail) {
        const retransmit_state& t = retransmit;
        const line_model_state& m = line_model;
        int c = rec->number;
        fprintf(trace_file,
                "# age %ld srtt %ld rttvar %ld min %ld rate %ld peak %ld free %ld timeout %ld "
                "backoff %d "
                "shift %d busy %d since_verdict %ld\n",
                long(serial.clock_ms - t.left_ms[c]), long(t.srtt_ms), long(t.rttvar_ms),
                long(t.min_rtt_ms), long(m.rate), long(m.peak_backlog),
                long(m.line_free_ms - serial.clock_ms), long(timer_timeout_ms()), t.backoff[c],
                t.timeout_shift, int(meter_peer_busy()), long(serial.clock_ms - t.last_verdict_ms));
    }
}

void close_trace() { fclose(trace_file); }

int spoil_left = 0;        // KESTRO_SPOIL_DIGESTS
bool no_extended = false;  // KESTRO_NO_EXTENDED

}  // namespace

// The seam of session/transfer.h: these replace the product's weak definitions.
bool bench_no_extended() { return no_extended; }

bool bench_spoil_digest() {
    if (spoil_left <= 0) return false;
    --spoil_left;
    return true;
}

int main(int argc, char** argv) {
    if (const char* spoil = getenv("KESTRO_SPOIL_DIGESTS")) spoil_left = atoi(spoil);
    no_extended = getenv("KESTRO_NO_EXTENDED") != nullptr;
    if (const char* path = getenv("KESTRO_TRACE")) {
        trace_file = fopen(path, "w");
        if (trace_file != nullptr) {
            link_trace = write_event;
            timer_detail = getenv("KESTRO_TRACE_TIMER") != nullptr;
            atexit(close_trace);  // registered first, so it runs after every handler of the link
        }
    }
    kestro_main(argc, argv);
}
