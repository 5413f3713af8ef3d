#include "link/line_model.h"

#include <algorithm>

#include "link/rate_meter.h"
#include "serial/port.h"

line_model_state line_model;

namespace {

// The first rate: what was built before it is taken to have gone out back to back. All of it
// was queued at once, and so may be as much of the peer's, ahead of our verdicts.
void start_model(int64_t* left_ms) {
    line_model_state& t = line_model;
    int64_t now = serial.clock_ms;
    t.line_free_ms = now;
    if (t.unmodelled_since >= 0) {
        t.line_free_ms = std::max(now, t.unmodelled_since + model_line_ms(t.unmodelled_bytes));
        t.line_free_ms = std::min(t.line_free_ms, now + model_line_ms(max_backlog_bytes));
        for (int c = 0; c < LINK_CHANNELS; ++c)
            if (t.unmodelled_at[c] > 0)
                left_ms[c] = t.unmodelled_since + model_line_ms(t.unmodelled_at[c]);
    }
    t.peak_backlog = std::min(t.unmodelled_bytes, max_backlog_bytes);
    t.last_build_ms = now;
}

}  // namespace

int64_t model_line_ms(int64_t bytes) {
    return bytes * 1000 / (line_model.rate > 0 ? line_model.rate : 1);
}

void model_set_rate(int64_t rate, int64_t* left_ms) {
    bool first = line_model.rate == 0;
    line_model.rate = rate > 0 ? rate : 1;
    if (first) start_model(left_ms);
}

frame_departure model_frame_built(int bytes, const int* channels, int count) {
    line_model_state& t = line_model;
    int64_t now = serial.clock_ms;
    int64_t wire = bytes + frame_end_bytes;
    frame_departure out{now, t.rate == 0 || t.line_free_ms <= now};
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
        for (int i = 0; i < count; ++i) t.unmodelled_at[channels[i]] = t.unmodelled_bytes;
    } else {
        int64_t backlog = std::max<int64_t>(0, t.line_free_ms - now) * t.rate / 1000;
        // The peak fades at an eighth of the line rate, so one burst does not stay for good.
        int64_t faded = t.peak_backlog - (now - t.last_build_ms) * t.rate / 8000;
        t.peak_backlog = std::max(backlog, faded);
        // Whole milliseconds with the rest carried: rounded down per frame, a noisy line's
        // short frames ran the model 8% ahead of the line, and verdicts waited behind that.
        if (out.idle) t.line_free_rest = 0;
        int64_t scaled = wire * 1000 + t.line_free_rest;
        t.line_free_rest = scaled % t.rate;
        t.line_free_ms = std::max(now, t.line_free_ms) + scaled / t.rate;
        out.left_ms = t.line_free_ms;
    }
    t.last_build_ms = now;
    return out;
}

void model_verdict(int channel, int64_t left_ms, int64_t quickest_ms) {
    line_model_state& t = line_model;
    int64_t now = serial.clock_ms;
    // The block left at least the quickest round trip before the frame that brought its
    // verdict began to arrive, whatever the model says. A model behind the line would hold
    // frames back from an idle line; and the peer, measuring our pace by our frames, would
    // hold back just as much, and so on down (both ends settled 2% below the line in some
    // runs, and at a third of it over a network's round trip of 500 ms).
    int64_t left_by = now - quickest_ms - (t.rate > 0 ? model_line_ms(rate_meter.heard_last) : 0);
    if (t.rate > 0 && left_ms > left_by) t.line_free_ms -= left_ms - left_by;
    if (t.rate == 0 && t.unmodelled_since >= 0 && t.unmodelled_at[channel] > 0)
        t.burst_pace_us =
            std::max<int64_t>(1, (now - t.unmodelled_since) * 1000 / t.unmodelled_at[channel]);
}

// A model whose rate is a little high falls behind the line: the backlog it does not see
// grows, and every verdict comes that much later. The quickest of recent verdicts, beyond
// what a verdict takes at the least, is how far behind it is: it catches up by that much.
void model_catch_up(int64_t r, int64_t floor_ms) {
    line_model_state& t = line_model;
    if (t.rate == 0) return;
    t.recent_min_ms = t.recent_count == 0 ? r : std::min(t.recent_min_ms, r);
    if (++t.recent_count < catch_up_verdicts) return;
    int64_t behind = t.recent_min_ms - floor_ms;
    t.recent_count = 0;
    int64_t tolerance = catch_up_tolerance_ms;
    if (behind <= tolerance) return;
    t.line_free_ms = std::max(t.line_free_ms, serial.clock_ms) + behind - tolerance / 2;
    t.caught_up_ms += behind - tolerance / 2;
}

// Before the rate, a later block of a burst whose pace a verdict has bounded is due at twice
// that pace: on a noisy line the first blocks were lost half the time, and each loss idled
// the line for the start's whole second.
bool model_burst_overdue(int channel, int64_t slack_ms) {
    const line_model_state& t = line_model;
    return t.rate == 0 && t.burst_pace_us > 0 && t.unmodelled_at[channel] > 0 &&
           serial.clock_ms - t.unmodelled_since >
               2 * t.unmodelled_at[channel] * t.burst_pace_us / 1000 + slack_ms;
}

bool model_hold() {
    const line_model_state& t = line_model;
    // Short frames (a noisy line shrinks the blocks) keep their verdicts in fewer of them.
    int64_t ahead = t.last_data_frame < short_frame_bytes ? pace_ahead_short_ms : pace_ahead_ms;
    return t.rate > 0 && t.line_free_ms - serial.clock_ms > ahead;
}

int model_block_limit(int window, int block_size) {
    if (line_model.rate > 0) return window;
    return std::min(window, start_blocks * block_size);
}
