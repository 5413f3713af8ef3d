#include "link/retransmit.h"

#include <algorithm>

#include "link/wire.h"
#include "serial/port.h"

retransmit_state retransmit;

namespace {

constexpr int backoff_steps = 16;      // doublings past this change nothing under the cap
constexpr int64_t pump_slack_ms = 20;  // two pumps of the peer, each up to 10 ms apart
constexpr int max_timeout_shift = 6;
constexpr int catch_up_verdicts = 16;          // verdicts whose quickest tells the model's lag
constexpr int64_t catch_up_tolerance_ms = 50;  // a lag the model lets pass
// No more than the window of blocks in flight and the verdicts beside them can be queued.
constexpr int64_t max_backlog_bytes =
    20 * 1024;  // 64 times the estimate, and the cap below still holds

int64_t now_ms() { return serial.clock_ms; }

int64_t line_ms(int64_t bytes) {
    return bytes * 1000 / (retransmit.rate > 0 ? retransmit.rate : 1);
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
            if (t.unmodelled_at[c] > 0)
                t.left_ms[c] = t.unmodelled_since + line_ms(t.unmodelled_at[c]);
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

// The rate our line carries: from the verdicts on our blocks while the peer is quiet; while
// it sends data, from its frames, which follow each other at the line's pace exactly, where
// the verdicts riding in them come up to a frame late.
void choose_rate() {
    const retransmit_state& t = retransmit;
    int64_t rate = timer_peer_busy() || t.acked.rate == 0 ? t.heard.rate : t.acked.rate;
    if (rate > 0 && rate != t.rate) set_rate(rate);
}

// The peer's data frames have come lately: a verdict may wait behind a burst of them.
bool peer_data_coming() {
    const stretch_meter& h = retransmit.heard;
    return h.start_ms >= 0 && now_ms() - h.last_ms <= meter_pause_ms;
}

// What a verdict may take once its block has left, the model being right: the peer's pumps,
// and while the peer sends data, the frame under way there and the frame it rides in. Two
// ends at one rate keep their frames in step, so a verdict may wait that long every time.
int64_t verdict_floor_ms() {
    const retransmit_state& t = retransmit;
    int64_t frame = std::max(t.heard_frame_max, t.last_frame_max);
    return pump_slack_ms + (timer_peer_busy() ? line_ms(2 * frame) : 0);
}

// A model whose rate is a little high falls behind the line: the backlog it does not see
// grows, and every verdict comes that much later. The quickest of recent verdicts, beyond
// what a verdict takes at the least, is how far behind it is: it catches up by that much.
void catch_up(int64_t r) {
    retransmit_state& t = retransmit;
    if (t.rate == 0) return;
    t.recent_min_ms = t.recent_count == 0 ? r : std::min(t.recent_min_ms, r);
    if (++t.recent_count < catch_up_verdicts) return;
    // A line with a long round trip (one over a network) takes that much on every verdict:
    // the quickest ever measured is no backlog of ours.
    int64_t floor = std::max(verdict_floor_ms(), t.min_rtt_ms);
    int64_t behind = t.recent_min_ms - floor;
    t.recent_count = 0;
    int64_t tolerance = catch_up_tolerance_ms;
    if (behind <= tolerance) return;
    t.line_free_ms = std::max(t.line_free_ms, now_ms()) + behind - tolerance / 2;
    t.caught_up_ms += behind - tolerance / 2;
}

}  // namespace

void begin_stretch(stretch_meter& m, int64_t pos, int64_t ms) {
    m.start_pos = m.last_pos = pos;
    m.start_ms = m.last_ms = ms;
    m.steps = 0;
    m.first_in_doubt = true;
}

int64_t meter_add(stretch_meter& m, int64_t pos, int64_t ms) {
    if (m.start_ms < 0 || ms - m.last_ms > meter_pause_ms) {
        begin_stretch(m, pos, ms);
        return m.rate;
    }
    if (pos <= m.last_pos) return m.rate;
    int64_t bytes = pos - m.last_pos;
    int64_t gap = ms - m.last_ms;
    int64_t span = m.last_ms - m.start_ms;
    // A pause of the stream is no measure of the line: the stretch begins again after it.
    if (m.steps >= meter_min_steps - 1 && span > 0 &&
        gap > meter_slack_ms + meter_pause_factor * bytes * span / (m.last_pos - m.start_pos)) {
        begin_stretch(m, pos, ms);
        return m.rate;
    }
    if (m.steps++ == 0) {
        m.first_bytes = bytes;
        m.first_ms = gap;
    }
    m.last_pos = pos;
    m.last_ms = ms;
    // The step that began the stretch came after an unknown time: once the steps after it
    // tell the pace, a first step that took far longer was a pause.
    if (m.steps == meter_min_steps && m.first_in_doubt) {
        m.first_in_doubt = false;
        int64_t rest_bytes = m.last_pos - m.start_pos - m.first_bytes;
        int64_t rest_ms = m.last_ms - m.start_ms - m.first_ms;
        if (rest_ms > 0 && m.first_ms > meter_slack_ms + meter_pause_factor * m.first_bytes *
                                                             rest_ms / rest_bytes) {
            m.start_pos += m.first_bytes;
            m.start_ms += m.first_ms;
            m.steps -= 1;
        }
    }
    // A sample: the first after a second, the later ones over longer windows, which a late
    // pump or reads that come in lumps shift less. A higher one is taken at once (the line
    // carried that much), a lower one only pulls the rate down a little: a stream that
    // slowed is no sign of a slower line. One well above the rate is taken after a second
    // too: the first came while few blocks were out, and the pacing by a rate too low holds
    // the stream to little more than it, so 4-s steps took half a minute on a noisy line.
    span = m.last_ms - m.start_ms;
    if (m.steps >= meter_min_steps && span >= meter_window_ms) {
        int64_t sample = (m.last_pos - m.start_pos) * 1000 / span;
        bool settled =
            m.rate == 0 || span >= meter_settle_ms || sample > m.rate + m.rate / rate_rise;
        if (!settled) return m.rate;
        m.rate = sample > m.rate ? sample : m.rate - (m.rate - sample) / rate_fade;
        m.start_pos = m.last_pos;  // the next window goes on from here, in the same stretch
        m.start_ms = m.last_ms;
        m.steps = meter_min_steps - 1;
        m.first_in_doubt = false;
    }
    return m.rate;
}

void timer_mark(int channel) {
    retransmit_state& t = retransmit;
    if (t.marked_count < LINK_CHANNELS) t.marked[t.marked_count++] = channel;
}

void timer_frame_built(int bytes) {
    retransmit_state& t = retransmit;
    int64_t now = now_ms();
    int64_t wire = bytes + frame_end_bytes;
    int64_t left = now;
    const bool idle = t.rate == 0 || t.line_free_ms <= now;
    if (bytes > data_frame_bytes) t.last_data_frame = bytes;
    if (t.rate == 0) {
        // After a pause the line has carried what went before: a new burst starts afresh.
        if (t.unmodelled_since < 0 || now - t.last_build_ms > meter_pause_ms) {
            t.unmodelled_since = now;
            t.unmodelled_bytes = 0;
            for (int64_t& at : t.unmodelled_at) at = 0;
            t.burst_pace_us = 0;
        }
        t.unmodelled_bytes += wire;
        for (int i = 0; i < t.marked_count; ++i) t.unmodelled_at[t.marked[i]] = t.unmodelled_bytes;
    } else {
        int64_t backlog = std::max<int64_t>(0, t.line_free_ms - now) * t.rate / 1000;
        // The peak fades at an eighth of the line rate, so one burst does not stay for good.
        int64_t faded = t.peak_backlog - (now - t.last_build_ms) * t.rate / 8000;
        t.peak_backlog = std::max(backlog, faded);
        // Whole milliseconds with the rest carried: rounded down per frame, a noisy line's
        // short frames ran the model 8% ahead of the line, and verdicts waited behind that.
        if (idle) t.line_free_rest = 0;
        int64_t scaled = wire * 1000 + t.line_free_rest;
        t.line_free_rest = scaled % t.rate;
        t.line_free_ms = std::max(now, t.line_free_ms) + scaled / t.rate;
        left = t.line_free_ms;
    }
    t.sent_wire += wire;
    for (int i = 0; i < t.marked_count; ++i) {
        t.idle_built_ms[t.marked[i]] = idle ? now : -1;
        t.left_ms[t.marked[i]] = left;
        t.wire_end[t.marked[i]] = t.sent_wire;
    }
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
    int64_t now = now_ms();
    t.backoff[channel] = 0;
    // The block left at least the quickest round trip before the frame that brought its
    // verdict began to arrive, whatever the model says. A model behind the line would hold
    // frames back from an idle line; and the peer, measuring our pace by our frames, would
    // hold back just as much, and so on down (both ends settled 2% below the line in some
    // runs, and at a third of it over a network's round trip of 500 ms).
    int64_t left_by =
        now - (t.rtt_measured ? t.min_rtt_ms : 0) - (t.rate > 0 ? line_ms(t.heard_last) : 0);
    if (t.rate > 0 && t.left_ms[channel] > left_by) t.line_free_ms -= t.left_ms[channel] - left_by;
    if (t.rate == 0 && t.unmodelled_since >= 0 && t.unmodelled_at[channel] > 0)
        t.burst_pace_us =
            std::max<int64_t>(1, (now - t.unmodelled_since) * 1000 / t.unmodelled_at[channel]);
    if (!sample) return;
    meter_add(t.acked, t.wire_end[channel], now);
    choose_rate();
    t.timeout_shift = 0;
    int64_t r = std::max<int64_t>(0, now - t.left_ms[channel]);
    catch_up(r);
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

// Every frame the peer sends takes its line; its data frames, while it sends them one after
// another, come at the pace of the line. Frames of verdicts alone only add their bytes: a
// stretch that began with them, before the first data, would have taken the pause of a round
// trip for a slow line.
void timer_heard(int bytes) {
    retransmit_state& t = retransmit;
    int64_t wire = bytes + frame_end_bytes;
    t.heard_wire += wire;
    t.heard_last = wire;
    if (bytes <= data_frame_bytes) return;
    int steps = t.heard.steps;
    meter_add(t.heard, t.heard_wire, now_ms());
    if (t.heard.steps <= steps) {  // a new stretch: its frames tell the peer's frame length
        t.last_frame_max = t.heard_frame_max;
        t.heard_frame_max = 0;
    }
    t.heard_frame_max = std::max(t.heard_frame_max, wire);
    choose_rate();
}

// Only a frame long enough to carry data: the line noise before the link is up comes in
// short pieces, and on a clean line it would count as noise.
void timer_bad_frame(int bytes) {
    if (bytes > data_frame_bytes) retransmit.bad_frame_ms = now_ms();
}

bool timer_peer_busy() {
    const stretch_meter& h = retransmit.heard;
    if (h.rate == 0 || h.steps == 0 || now_ms() - h.last_ms > meter_pause_ms) return false;
    // Its current stretch keeps at least half the line busy.
    int64_t span = h.last_ms - h.start_ms;
    return span <= 0 || (h.last_pos - h.start_pos) * 1000 / span * 2 >= h.rate;
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
        bool peer_data = peer_data_coming();
        if (peer_data) return initial_timeout_ms;
        // Our own first burst is a few blocks until the rate is known: the wait for it need not
        // be long, and on a noisy line both may well be lost (four seconds idle, often).
        if (burst) return std::max(start_timeout_ms, t.srtt_ms + 4 * t.rttvar_ms);
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
        timeout =
            std::max(timeout, t.min_rtt_ms + line_ms((t.peak_backlog + FRAME_BUFFER_SIZE) * 3 / 2));
    return std::max(timeout, min_timeout_ms);
}

bool timer_hold() {
    const retransmit_state& t = retransmit;
    // Short frames (a noisy line shrinks the blocks) keep their verdicts in fewer of them.
    int64_t ahead = t.last_data_frame < short_frame_bytes ? pace_ahead_short_ms : pace_ahead_ms;
    return t.rate > 0 && t.line_free_ms - now_ms() > ahead;
}

int timer_block_limit(int window, int block_size) {
    if (retransmit.rate > 0) return window;
    return std::min(window, start_blocks * block_size);
}

bool timer_overdue(int channel) {
    const retransmit_state& t = retransmit;
    // Before the rate, a later block of a burst whose pace a verdict has bounded is due at
    // twice that pace: on a noisy line the first blocks were lost half the time, and each
    // loss idled the line for the start's whole second. Not while the peer's data come: its
    // burst, which no verdict has measured, may stand before the verdict.
    bool peer_data = peer_data_coming();
    if (t.rate == 0 && t.burst_pace_us > 0 && t.unmodelled_at[channel] > 0 &&
        t.backoff[channel] == 0 && !peer_data &&
        now_ms() - t.unmodelled_since >
            2 * t.unmodelled_at[channel] * t.burst_pace_us / 1000 + pump_slack_ms)
        return true;
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
