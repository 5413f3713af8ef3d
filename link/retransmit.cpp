#include "link/retransmit.h"

#include <algorithm>

#include "link/codec.h"
#include "serial/port.h"

retransmit_state retransmit;

namespace {

constexpr int backoff_steps = 16;  // doublings past this change nothing under the cap
constexpr int64_t pump_slack_ms = 20;  // two pumps of the peer, each up to 10 ms apart
constexpr int max_timeout_shift = 6;
// No more than the window of blocks in flight and the verdicts beside them can be queued.
constexpr int64_t max_backlog_bytes = 20 * 1024;   // 64 times the estimate, and the cap below still holds

int64_t now_ms() { return serial.clock_ms; }

int64_t line_ms(int64_t bytes) {
    int64_t rate = retransmit.rate - retransmit.rate / rate_margin;
    return bytes * 1000 / (rate > 0 ? rate : 1);
}

// The first rate: what was built before it is taken to have gone out back to back, the
// blocks still waiting each when its frame was through. All of it was queued at once, and
// so may be as much of the peer's, ahead of our verdicts.
void start_model() {
    retransmit_state& t = retransmit;
    int64_t now = now_ms();
    t.line_free_ms = now;
    if (t.unmodelled_since >= 0) {
        t.line_free_ms = std::max(now, t.unmodelled_since + line_ms(t.unmodelled_bytes));
        t.line_free_ms = std::min(t.line_free_ms, now + line_ms(max_backlog_bytes));
        for (int c = 0; c < LINK_CHANNELS; ++c)
            if (t.unmodelled_at[c] > 0) t.left_ms[c] = t.unmodelled_since + line_ms(t.unmodelled_at[c]);
    }
    t.peak_backlog = std::min(t.unmodelled_bytes, max_backlog_bytes);
    t.last_build_ms = now;
}

// A rate now known: the first one starts the model.
void set_rate(int64_t rate) {
    retransmit_state& t = retransmit;
    bool first = t.rate == 0;
    t.rate = rate > 0 ? rate : 1;
    if (first) start_model();
}

// Adds bytes that came just now; returns a sample in bytes per second, or 0 for none yet.
// The bytes of the event that begins a sample came over an unknown time: not counted.
int64_t meter_add(rate_meter& m, int64_t bytes, int64_t window_ms) {
    int64_t now = now_ms();
    if (m.start_ms < 0 || now - m.last_ms > meter_pause_ms) {
        m = rate_meter{now, now, 0};
        return 0;
    }
    m.bytes += bytes;
    m.last_ms = now;
    if (now - m.start_ms < window_ms) return 0;
    int64_t sample = m.bytes * 1000 / (now - m.start_ms);
    m = rate_meter{now, now, 0};
    return sample;
}

}  // namespace

void timer_mark(int channel) {
    retransmit_state& t = retransmit;
    if (t.marked_count < LINK_CHANNELS) t.marked[t.marked_count++] = channel;
}

void timer_frame_built(int bytes) {
    retransmit_state& t = retransmit;
    int64_t now = now_ms();
    int64_t wire = bytes + frame_end_bytes;
    int64_t left = now;
    if (t.rate == 0) {
        // After a pause the line has carried what went before: a new burst starts afresh.
        if (t.unmodelled_since < 0 || now - t.last_build_ms > meter_pause_ms) {
            t.unmodelled_since = now;
            t.unmodelled_bytes = 0;
            for (int64_t& at : t.unmodelled_at) at = 0;
        }
        t.unmodelled_bytes += wire;
        for (int i = 0; i < t.marked_count; ++i) t.unmodelled_at[t.marked[i]] = t.unmodelled_bytes;
    } else {
        int64_t backlog = std::max<int64_t>(0, t.line_free_ms - now) * t.rate / 1000;
        // The peak fades at an eighth of the line rate, so one burst does not stay for good.
        int64_t faded = t.peak_backlog - (now - t.last_build_ms) * t.rate / 8000;
        t.peak_backlog = std::max(backlog, faded);
        t.line_free_ms = std::max(now, t.line_free_ms) + line_ms(wire);
        left = t.line_free_ms;
    }
    for (int i = 0; i < t.marked_count; ++i) t.left_ms[t.marked[i]] = left;
    t.marked_count = 0;
    t.last_build_ms = now;
}

void timer_enquired(int channel) {
    timer_mark(channel);
    if (retransmit.backoff[channel] < backoff_steps) retransmit.backoff[channel] += 1;
}

void timer_timed_out() {
    if (retransmit.timeout_shift < max_timeout_shift) retransmit.timeout_shift += 1;
}

void timer_verdict(int channel, bool sample) {
    retransmit_state& t = retransmit;
    t.backoff[channel] = 0;
    if (!sample) return;
    t.timeout_shift = 0;
    int64_t r = std::max<int64_t>(0, now_ms() - t.left_ms[channel]);
    if (!t.rtt_measured) {
        t.rtt_measured = true;
        t.srtt_ms = r;
        t.rttvar_ms = r / 2;
        t.min_rtt_ms = r;
        return;
    }
    t.rttvar_ms = (3 * t.rttvar_ms + std::abs(t.srtt_ms - r)) / 4;
    t.srtt_ms = (7 * t.srtt_ms + r) / 8;
    t.min_rtt_ms = std::min(t.min_rtt_ms, r);
}

// While the peer sends data it keeps its line busy, and its data frames come at the line's
// rate itself: a higher sample is taken at once, a lower one (the peer paused) only fades
// the estimate, so that a pause does not make the line look slow and our frames wait for
// room that is there. Frames of verdicts alone are not counted: a sample that began with
// them, before the first data, would have taken the pause of a round trip for a slow line.
// What of ours is acknowledged is no measure of the line: data only, less what was lost,
// it ran behind the line by a tenth on a noisy one, the model fell seconds behind, and an
// end waited 20 s for its last blocks. Without the peer's data there is no model: the
// round trip then holds our own backlog too, which the blocks in flight bound.
void timer_heard(int bytes) {
    retransmit_state& t = retransmit;
    if (bytes <= data_frame_bytes) return;
    int64_t wire = bytes + frame_end_bytes;
    t.heard_frame_max = std::max(t.heard_frame_max, wire);
    // The first rate is wanted soon, before our own backlog has grown deep.
    int64_t window = t.rate == 0 ? meter_window_ms : heard_window_ms;
    int64_t sample = meter_add(t.heard, wire, window);
    if (sample <= 0) return;
    t.heard_data_rate = sample;
    t.last_frame_max = t.heard_frame_max;
    t.heard_frame_max = wire;
    t.heard_line_rate = sample > t.heard_line_rate ? sample : t.heard_line_rate - (t.heard_line_rate - sample) / rate_fade;
    set_rate(t.heard_line_rate);
}

// Only a frame long enough to carry data: the line noise before the link is up comes in
// short pieces, and on a clean line it would count as noise.
void timer_bad_frame(int bytes) {
    if (bytes > data_frame_bytes) retransmit.bad_frame_ms = now_ms();
}

bool timer_peer_busy() {
    const retransmit_state& t = retransmit;
    return t.rate > 0 && t.heard_data_rate * 2 >= t.rate && now_ms() - t.heard.last_ms <= meter_pause_ms;
}

int64_t timer_timeout_ms() {
    const retransmit_state& t = retransmit;
    if (!t.rtt_measured) return initial_timeout_ms;
    // No rate known yet, and our first burst is recent or the peer sends data: a verdict may
    // wait behind both ends' first bursts, which no round trip has measured (one taken on the
    // idle line before is a few milliseconds: every block of our first burst was enquired
    // about after 1 s at 115200 baud, and after half a second at 9600). Unless frames fail:
    // on a noisy line an early enquiry finds the lost ones sooner than the order of verdicts.
    if (t.rate == 0 && t.bad_frame_ms < t.unmodelled_since) {
        int64_t now = now_ms();
        bool burst = t.unmodelled_since >= 0 && now - t.unmodelled_since < initial_timeout_ms;
        bool peer_data = t.heard.start_ms >= 0 && now - t.heard.last_ms <= meter_pause_ms;
        if (burst || peer_data) return initial_timeout_ms;
    }
    // A verdict rides in the peer's next frame, which is taken only once it has come whole,
    // behind the frame under way: it may come two of the peer's frames and a pump later than
    // the smoothed figures tell, however steady they have been.
    int64_t frame = std::max(t.heard_frame_max, t.last_frame_max);
    int64_t frames_ms = t.rate > 0 ? line_ms(2 * frame) : 0;
    int64_t timeout = t.srtt_ms + std::max(4 * t.rttvar_ms, frames_ms + pump_slack_ms);
    // Until the estimate has seen it, a verdict may wait behind as much of the peer's data as
    // we have had queued ourselves, and a frame under way; half as much again, since the two
    // ends' first bursts differ (12 and 16 KiB were seen at 9600 baud, and an enquiry).
    if (timer_peer_busy())
        timeout = std::max(timeout, t.min_rtt_ms + line_ms((t.peak_backlog + FRAME_BUFFER_SIZE) * 3 / 2));
    return std::max(timeout, min_timeout_ms);
}

bool timer_hold() {
    const retransmit_state& t = retransmit;
    return t.rate > 0 && timer_peer_busy() && t.line_free_ms - now_ms() > hold_backlog_ms;
}

bool timer_overdue(int channel) {
    const retransmit_state& t = retransmit;
    int64_t base = t.left_ms[channel];
    int64_t timeout = timer_timeout_ms();
    int64_t cap = std::max(max_backoff_ms, timeout);
    // Before the first measurement any verdict restarts the wait, as on the whole-second clock;
    // so it does without a model of the line, whose block may wait behind our own backlog
    // long after its frame was built, while the verdicts on those before it keep coming.
    if (!t.rtt_measured || t.rate == 0) base = std::max(base, t.last_verdict_ms);
    int64_t wait = timeout;
    if (t.backoff[channel] > 0)  // unanswered enquiries: the wait doubles
        wait = std::min(timeout << std::min(t.backoff[channel], backoff_steps), cap);
    else  // timeouts with no round trip measured since: it has outgrown the estimate, and
          // enquired blocks cannot correct that; a block's first wait doubles until one can
        wait = std::min(timeout << t.timeout_shift, cap);
    return now_ms() - base > wait;
}
