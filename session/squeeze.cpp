// The sending side's compressor: the level it starts at, the watch that steps it down when
// the line waits for it, and the batch frame's bytes into the data channels.
#include <algorithm>

#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/send.h"
#include "session/stats.h"

// What the line is known to carry: measured by the link, or until then the speed given (-s,
// --speed) or the serial port's own; 0 when none says.
int64_t line_rate_known() {
    int64_t rate = link_line_rate();
    if (rate == 0) rate = stats.line_speed / 10;
    if (rate == 0) rate = port_line_rate();
    return rate;
}

namespace {

// Bytes of the data stream the line has taken: moved into the data channels and no longer
// queued there.
int64_t stream_taken() {
    int64_t queued = 0;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) queued += send_queued(ch);
    return sending.stream.stream_moved - queued;
}

}  // namespace

void start_watch() { sending.watch = compressor_watch{ms_source(), 0, 0, 0, stream_taken()}; }

// The line waits for the compressor (WATCH_*) over the time since the watch began. While the
// channels first fill, the line has taken little and nothing steps down; a line that is the
// slower keeps the compressor far ahead. The watch starts again after each look that saw
// enough time.
bool line_waits_for_compressor() {
    compressor_watch& w = sending.watch;
    int64_t elapsed = ms_source() - w.since_ms;
    if (elapsed < WATCH_MIN_MS) return false;
    int64_t taken = stream_taken() - w.taken;
    bool behind = w.busy_ms > 0 && w.made * elapsed < WATCH_AHEAD * taken * w.busy_ms;
    bool futile =
        w.fed > 0 && w.made * 20 >= w.fed * 19 && w.busy_ms * WATCH_FUTILE_SHARE >= elapsed;
    start_watch();
    return behind || futile;
}

// The compressor ran from `began` on `fed` bytes: its time and bytes for the watch.
void watch_ran(int64_t began, int64_t fed, int64_t made_before) {
    compressor_watch& w = sending.watch;
    w.busy_ms += ms_source() - began;
    w.fed += fed;
    w.made += sending.zout.made - made_before;
}

// The batch frame's compressed bytes into the data channels, slice by slice, as far as they
// take them; true when none wait.
bool batch_drain() {
    transfer_direction& stream = sending.stream;
    zframe_out* z = &sending.zout;
    const uint8_t* bytes = nullptr;
    for (int pending = 0; (pending = zout_pending(z, &bytes)) > 0;) {
        int n = std::min(pending, stream.slice_left);
        if (send_room(stream.channel) < n) return false;
        send_write(stream.channel, bytes, n);
        zout_taken(z, n);
        slice_moved(&stream, n);
    }
    return true;
}

// Room for the stream's next bytes in the batch frame, once what it made is in the channels.
// A line found waiting for the compressor at a flush steps it down there.
int batch_room() {
    if (!batch_drain()) return 0;
    zframe_out* z = &sending.zout;
    if (z->flushes > 0 && z->since_flush == 0 && !z->stored && !z->ended &&
        line_waits_for_compressor()) {
        zout_step_down(z);
        if (!batch_drain()) return 0;
    }
    return zout_room(z);
}

// Bytes of the stream into the batch frame; `flush` at a file's end, so the peer can finish it.
// Only the file's bytes count in the figures, not its verdict or digest.
void batch_put(const uint8_t* bytes, int n, bool flush, bool file_bytes) {
    int64_t began = ms_source();
    int64_t made = sending.zout.made;
    zout_put(&sending.zout, bytes, n, flush, file_bytes);
    watch_ran(began, n, made);
    if (flush) batch_drain();
}
