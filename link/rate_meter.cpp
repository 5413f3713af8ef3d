#include "link/rate_meter.h"

#include <algorithm>

#include "serial/port.h"

rate_meter_state rate_meter;

namespace {

void begin_stretch(stretch_meter& m, int64_t pos, int64_t ms) {
    m.start_pos = m.last_pos = pos;
    m.start_ms = m.last_ms = ms;
    m.steps = 0;
    m.first_in_doubt = true;
}

}  // namespace

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

void meter_frame_sent(int bytes, const int* channels, int count) {
    rate_meter.sent_wire += bytes + frame_end_bytes;
    for (int i = 0; i < count; ++i) rate_meter.wire_end[channels[i]] = rate_meter.sent_wire;
}

void meter_verdict(int channel) {
    meter_add(rate_meter.acked, rate_meter.wire_end[channel], serial.clock_ms);
}

// Every frame the peer sends takes its line; its data frames, while it sends them one after
// another, come at the pace of the line. Frames of verdicts alone only add their bytes: a
// stretch that began with them, before the first data, would have taken the pause of a round
// trip for a slow line.
bool meter_heard(int bytes) {
    rate_meter_state& t = rate_meter;
    int64_t wire = bytes + frame_end_bytes;
    t.heard_wire += wire;
    t.heard_last = wire;
    if (bytes <= data_frame_bytes) return false;
    int steps = t.heard.steps;
    meter_add(t.heard, t.heard_wire, serial.clock_ms);
    if (t.heard.steps <= steps) {  // a new stretch: its frames tell the peer's frame length
        t.last_frame_max = t.heard_frame_max;
        t.heard_frame_max = 0;
    }
    t.heard_frame_max = std::max(t.heard_frame_max, wire);
    return true;
}

// From the verdicts on our blocks while the peer is quiet; while it sends data, from its
// frames, which follow each other at the line's pace exactly, where the verdicts riding in
// them come up to a frame late.
int64_t meter_rate() {
    return meter_peer_busy() || rate_meter.acked.rate == 0 ? rate_meter.heard.rate
                                                           : rate_meter.acked.rate;
}

bool meter_peer_busy() {
    const stretch_meter& h = rate_meter.heard;
    if (h.rate == 0 || h.steps == 0 || serial.clock_ms - h.last_ms > meter_pause_ms) return false;
    // Its current stretch keeps at least half the line busy.
    int64_t span = h.last_ms - h.start_ms;
    return span <= 0 || (h.last_pos - h.start_pos) * 1000 / span * 2 >= h.rate;
}

bool meter_peer_data_coming() {
    const stretch_meter& h = rate_meter.heard;
    return h.start_ms >= 0 && serial.clock_ms - h.last_ms <= meter_pause_ms;
}

int64_t meter_peer_frame() {
    return std::max(rate_meter.heard_frame_max, rate_meter.last_frame_max);
}
