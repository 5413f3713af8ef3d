#include "link/retransmit.h"

#include <algorithm>
#include <cstdlib>

#include "link/line_model.h"
#include "link/rate_meter.h"
#include "serial/port.h"

retransmit_state retransmit;

namespace {

int64_t now_ms() { return serial.clock_ms; }

// A new rate measured: the model takes it.
void follow_rate() {
    int64_t rate = meter_rate();
    if (rate > 0 && rate != line_model.rate) model_set_rate(rate, retransmit.left_ms);
}

// What a verdict may take once its block has left, the model being right: the peer's pumps,
// and while the peer sends data, the frame under way there and the frame it rides in. Two
// ends at one rate keep their frames in step, so a verdict may wait that long every time.
int64_t verdict_floor_ms() {
    return pump_slack_ms + (meter_peer_busy() ? model_line_ms(2 * meter_peer_frame()) : 0);
}

}  // namespace

void timer_mark(int channel) {
    retransmit_state& t = retransmit;
    if (t.marked_count < LINK_CHANNELS) t.marked[t.marked_count++] = channel;
}

void timer_frame_built(int bytes) {
    retransmit_state& t = retransmit;
    frame_departure out = model_frame_built(bytes, t.marked, t.marked_count);
    meter_frame_sent(bytes, t.marked, t.marked_count);
    for (int i = 0; i < t.marked_count; ++i) {
        t.idle_built_ms[t.marked[i]] = out.idle ? now_ms() : -1;
        t.left_ms[t.marked[i]] = out.left_ms;
    }
    t.marked_count = 0;
}

void timer_enquired(int channel) {
    timer_mark(channel);
    if (retransmit.backoff[channel] < backoff_steps) retransmit.backoff[channel] += 1;
}

void timer_timed_out() {
    if (retransmit.timeout_shift < max_timeout_shift) retransmit.timeout_shift += 1;
}

void timer_any_verdict() { retransmit.last_verdict_ms = now_ms(); }

void timer_verdict(int channel, bool sample) {
    retransmit_state& t = retransmit;
    int64_t now = now_ms();
    t.backoff[channel] = 0;
    model_verdict(channel, t.left_ms[channel], t.rtt_measured ? t.min_rtt_ms : 0);
    if (!sample) return;
    meter_verdict(channel);
    follow_rate();
    t.timeout_shift = 0;
    int64_t r = std::max<int64_t>(0, now - t.left_ms[channel]);
    // A line with a long round trip (one over a network) takes that much on every verdict:
    // the quickest ever measured is no backlog of ours.
    model_catch_up(r, std::max(verdict_floor_ms(), t.min_rtt_ms));
    if (!t.rtt_measured) {
        t.rtt_measured = true;
        t.srtt_ms = r;
        t.rttvar_ms = r / 2;
        t.min_rtt_ms = r;
        return;
    }
    t.rttvar_ms = (3 * t.rttvar_ms + std::abs(t.srtt_ms - r)) / 4;
    t.srtt_ms = (7 * t.srtt_ms + r) / 8;
    if (t.idle_built_ms[channel] >= 0)
        t.min_rtt_ms = std::min(t.min_rtt_ms, now - t.idle_built_ms[channel]);
}

void timer_heard(int bytes) {
    if (meter_heard(bytes)) follow_rate();
}

// Only a frame long enough to carry data: the line noise before the link is up comes in
// short pieces, and on a clean line it would count as noise.
void timer_bad_frame(int bytes) {
    if (bytes > data_frame_bytes) retransmit.bad_frame_ms = now_ms();
}

int64_t timer_timeout_ms() {
    const retransmit_state& t = retransmit;
    const line_model_state& m = line_model;
    if (!t.rtt_measured) return initial_timeout_ms;
    // No rate known yet, and our first burst is recent or the peer sends data: a verdict may
    // wait behind both ends' first bursts, which no round trip has measured (one taken on the
    // idle line before is a few milliseconds: every block of our first burst was enquired
    // about after 1 s at 115200 baud, and after half a second at 9600). Unless frames fail:
    // on a noisy line an early enquiry finds the lost ones sooner than the order of verdicts.
    if (m.rate == 0 && t.bad_frame_ms < m.unmodelled_since) {
        bool burst = m.unmodelled_since >= 0 && now_ms() - m.unmodelled_since < initial_timeout_ms;
        if (meter_peer_data_coming()) return initial_timeout_ms;
        // Our own first burst is a few blocks until the rate is known: the wait for it need not
        // be long, and on a noisy line both may well be lost (four seconds idle, often).
        if (burst) return std::max(start_timeout_ms, t.srtt_ms + 4 * t.rttvar_ms);
    }
    // A verdict rides in the peer's next frame, which is taken only once it has come whole,
    // behind the frame under way: it may come two of the peer's frames and a pump later than
    // the smoothed figures tell, however steady they have been.
    int64_t frames_ms = m.rate > 0 ? model_line_ms(2 * meter_peer_frame()) : 0;
    int64_t timeout = t.srtt_ms + std::max(4 * t.rttvar_ms, frames_ms + pump_slack_ms);
    // Until the estimate has seen it, a verdict may wait behind as much of the peer's data as
    // we have had queued ourselves, and a frame under way; half as much again, since the two
    // ends' first bursts differ (12 and 16 KiB were seen at 9600 baud, and an enquiry).
    if (meter_peer_busy())
        timeout = std::max(
            timeout, t.min_rtt_ms + model_line_ms((m.peak_backlog + FRAME_BUFFER_SIZE) * 3 / 2));
    return std::max(timeout, min_timeout_ms);
}

bool timer_overdue(int channel) {
    const retransmit_state& t = retransmit;
    // A block of the first burst, by the pace a verdict bounded. Not while the peer's data
    // come: its burst, which no verdict has measured, may stand before the verdict.
    if (t.backoff[channel] == 0 && !meter_peer_data_coming() &&
        model_burst_overdue(channel, pump_slack_ms))
        return true;
    int64_t base = t.left_ms[channel];
    int64_t timeout = timer_timeout_ms();
    int64_t cap = std::max(max_backoff_ms, timeout);
    // Before the first measurement any verdict restarts the wait, as on the whole-second clock;
    // so it does without a model of the line, whose block may wait behind our own backlog
    // long after its frame was built, while the verdicts on those before it keep coming.
    if (!t.rtt_measured || line_model.rate == 0) base = std::max(base, t.last_verdict_ms);
    int64_t wait = timeout;
    if (t.backoff[channel] > 0)  // unanswered enquiries: the wait doubles
        wait = std::min(timeout << std::min(t.backoff[channel], backoff_steps), cap);
    else  // timeouts with no round trip measured since: it has outgrown the estimate, and
          // enquired blocks cannot correct that; a block's first wait doubles until one can
        wait = std::min(timeout << t.timeout_shift, cap);
    return now_ms() - base > wait;
}
