// Retransmission timer of the link: when the verdict on an outstanding block is overdue.
//
// A verdict's time is measured from the moment its block has left our end of the line, as a
// model of the line tells: frames go out one after another at the rate the line has been
// measured to carry. So our own backlog is in the model, and the estimate holds the rest: the
// way back, the peer's own backlog and its pace. Milliseconds on serial.clock_ms.
//
// Interface summary:
//   timer_mark (channel)          the frame being built carries a block or an enquiry of it
//   timer_frame_built (bytes)     that frame is complete: the line model, the marked channels
//   timer_enquired (channel)      an enquiry about the channel's block went into the frame
//   timer_timed_out ()            the frame carries timeout enquiries
//   timer_verdict (channel, sample)  a verdict on the channel's block was accepted; sample:
//                                 it answers the block itself, not an enquiry
//   timer_heard (bytes)           a frame of that many bytes arrived, good or bad (rate meter)
//   timer_bad_frame (bytes)       a frame of that many bytes failed its check
//   timer_peer_busy ()            the peer keeps its line busy with data
//   timer_overdue (channel)       true when the verdict on the channel's block is overdue
//   timer_timeout_ms ()           how long a verdict may take once its block has left
//   timer_hold ()                 true while our line has enough queued: build no frame yet
//   timer_block_limit (window, block)  the bytes of data blocks that may be in flight now
//   meter_add (meter, pos, ms)    the stream stood at pos at ms; returns the meter's rate
#pragma once

#include <cstdint>

#include "link/wire.h"

constexpr int64_t initial_timeout_ms = 4000;  // until the round trip is measured
// The wait for a verdict on our first few blocks, before the line's rate is known: two of
// them take 2.1 s at 9600 baud, so an early enquiry there only has the verdict said again.
constexpr int64_t start_timeout_ms = 1000;
// With the back-off below, the 17th unanswered enquiry then comes more than 68 s after the
// block was sent (72 s from 100 ms): a line may stall that long without ending the link.
constexpr int64_t min_timeout_ms = 100;
constexpr int64_t max_backoff_ms = 6000;   // a line back from a stall is asked again this soon
constexpr int64_t meter_window_ms = 1000;  // the first rate sample covers at least this
constexpr int64_t meter_settle_ms = 4000;  // and every later one this
constexpr int rate_fade = 64;  // a lower sample pulls the rate down by 1/64 of the difference
constexpr int rate_rise = 8;   // a sample 1/8 above the rate is taken after meter_window_ms
constexpr int64_t meter_pause_ms = 2000;  // a longer pause starts a new stretch
// A step that took this many times its bytes' line time (and more than the slack) was a
// pause of the line, not the line's pace: the stretch starts again after it.
constexpr int meter_pause_factor = 3;
constexpr int64_t meter_slack_ms = 50;  // two late pumps
constexpr int meter_min_steps = 4;      // steps in a stretch before it gives a rate
constexpr int frame_end_bytes = 2;      // the `{}` after every frame
// A frame longer than this carries data: verdicts and enquiries alone take at most 58 bytes.
constexpr int data_frame_bytes = 64;
// Our line gets no more than this queued ahead of a new frame (by the line model): enough to
// bridge late pumps, while a chat line, a verdict or an offer built now waits behind no more
// than this and one frame.
constexpr int64_t pace_ahead_ms = 40;
// Behind short frames less: with small blocks the sixteen channels hold little in flight,
// and every millisecond a verdict waits may idle the line.
constexpr int64_t pace_ahead_short_ms = 10;
constexpr int short_frame_bytes = 256;
// Until the line's rate is known, data blocks in flight: enough to keep a serial line busy
// while the first verdicts come back and measure it, and little to wait behind.
constexpr int start_blocks = 2;

// A stream's position (its bytes so far) seen at moments in time, for its rate: the bytes of
// a stretch over its time, where a stretch ends at a pause of the stream.
struct stretch_meter {
    int64_t start_pos = 0;  // where the stretch (or its current window) began
    int64_t start_ms = -1;  // -1: no stretch begun
    int64_t last_pos = 0;   // the latest position seen, and when
    int64_t last_ms = 0;
    int steps = 0;                // moves of the position in this stretch
    bool first_in_doubt = false;  // the stretch's first step may still prove to have been a pause
    int64_t first_bytes = 0;      // that first step: its bytes and its time
    int64_t first_ms = 0;
    int64_t rate = 0;  // bytes per second, 0 until a stretch gave one
};

struct retransmit_state {
    // Round trip, from the end of a block's transmission to its verdict (RFC 6298 smoothing).
    bool rtt_measured = false;
    int64_t srtt_ms = 0;    // the smoothed round trip
    int64_t rttvar_ms = 0;  // its smoothed variation
    // The quickest round trip measured, from the building of a frame that found the line idle
    // by the model to its verdict: a model that lags the line, or a rate too low, made round
    // trips look quicker than a line over a network allows, and its lag then stood.
    int64_t min_rtt_ms = 0;
    int64_t last_verdict_ms = 0;  // any verdict, stale or not: the first timer restarts on it

    // The line model. rate: frame bytes per second our line carries, 0 until measured (while
    // it is 0, a block is taken to leave when its frame is built).
    int64_t rate = 0;
    int64_t line_free_ms = 0;    // when the line will have carried every frame built so far
    int64_t line_free_rest = 0;  // and the fraction of a millisecond beyond it, times the rate
    int64_t peak_backlog = 0;  // our recent largest backlog in bytes; the peer's is taken as alike
    int64_t unmodelled_bytes = 0;   // built before the rate was known
    int64_t unmodelled_since = -1;  // when that burst began; -1: none
    int64_t unmodelled_at[LINK_CHANNELS] =
        {};  // bytes built up to a block's frame, before the rate
    // Microseconds a byte of that burst took at most, by its latest verdict: the line carried
    // the bytes up to the judged block in the time since the burst began. 0: none yet.
    int64_t burst_pace_us = 0;
    int64_t last_build_ms = 0;  // when the last frame was built
    int last_data_frame = 0;    // bytes of the last frame built with a block in it

    // The rate, measured two ways: from the verdicts on our blocks (where on our line each
    // block's frame ended, against when its verdict came), and from the peer's frames.
    int64_t sent_wire = 0;                 // bytes of every frame built so far, each with its `{}`
    int64_t wire_end[LINK_CHANNELS] = {};  // sent_wire after a channel's last block
    stretch_meter acked;                   // our line, at the verdicts on our blocks
    int64_t heard_wire = 0;                // bytes of every frame heard so far
    int64_t heard_last = 0;       // bytes of the latest frame heard: the one its verdicts came in
    stretch_meter heard;          // the peer's line, at its data frames
    int64_t heard_frame_max = 0;  // the peer's longest frame in this stretch, and in the last
    int64_t last_frame_max = 0;
    int64_t recent_min_ms = 0;  // the quickest of the recent verdicts (round trips)
    int recent_count = 0;       // verdicts in recent_min_ms
    int64_t caught_up_ms = 0;   // what the model has caught up in all, for the trace
    int timeout_shift = 0;      // timeouts since the last measured round trip
    int64_t bad_frame_ms = -1;  // when a data frame last failed its check: the line is noisy

    // Per send channel: when its last block or enquiry left, enquiries since its last verdict.
    int64_t left_ms[LINK_CHANNELS] = {};
    int backoff[LINK_CHANNELS] = {};
    int64_t idle_built_ms[LINK_CHANNELS] =
        {};                          // its last block's frame, built on an idle line; -1: not
    int marked[LINK_CHANNELS] = {};  // channels in the frame being built
    int marked_count = 0;
};

extern retransmit_state retransmit;

void timer_mark(int channel);
void timer_frame_built(int bytes);
void timer_enquired(int channel);
void timer_timed_out();
void timer_verdict(int channel, bool sample);
void timer_heard(int bytes);
void timer_bad_frame(int bytes);
bool timer_overdue(int channel);
int64_t timer_timeout_ms();
bool timer_hold();
bool timer_peer_busy();
int timer_block_limit(int window, int block_size);
int64_t meter_add(stretch_meter& m, int64_t pos, int64_t ms);
