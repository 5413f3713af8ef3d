// Retransmission timer of the link: when the verdict on an outstanding block is overdue.
//
// A verdict's time is measured from the moment its block has left our end of the line, as
// the line model tells (link/line_model.h); the estimate of the round trip holds the rest: the
// way back, the peer's own backlog and its pace. Milliseconds on serial.clock_ms.
//
// Interface summary:
//   timer_mark (channel)          the frame being built carries a block or an enquiry of it
//   timer_frame_built (bytes)     that frame is complete: the line model, the rate meter and
//                                 the marked channels' departures
//   timer_enquired (channel)      an enquiry about the channel's block went into the frame
//   timer_timed_out ()            the frame carries timeout enquiries
//   timer_any_verdict ()          a verdict came, stale or not: the first wait restarts on it
//   timer_verdict (channel, sample)  a verdict on the channel's block was accepted; sample:
//                                 it answers the block itself, not an enquiry
//   timer_heard (bytes)           a frame of that many bytes arrived, good or bad
//   timer_bad_frame (bytes)       a frame of that many bytes failed its check
//   timer_overdue (channel)       true when the verdict on the channel's block is overdue
//   timer_timeout_ms ()           how long a verdict may take once its block has left
#pragma once

#include <cstdint>

#include "link/wire.h"

constexpr int64_t initial_timeout_ms = 4000;  // until a round trip is measured: the old 4 s
// The wait for a verdict on our first few blocks, before the line's rate is known: two of
// them take 2.1 s at 9600 baud, so an early enquiry there only has the verdict said again.
constexpr int64_t start_timeout_ms = 1000;
// With the back-off below, the 17th unanswered enquiry then comes more than 68 s after the
// block was sent (72 s from 100 ms): a line may stall that long without ending the link.
constexpr int64_t min_timeout_ms = 100;
constexpr int64_t max_backoff_ms = 6000;  // a line back from a stall is asked again this soon
constexpr int backoff_steps = 16;         // doublings: past this they change nothing under the cap
constexpr int64_t pump_slack_ms = 20;     // two pumps of the peer, each up to 10 ms apart
constexpr int max_timeout_shift = 6;      // doublings of a first wait: 64 times the estimate

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
    int timeout_shift = 0;        // timeouts since the last measured round trip
    int64_t bad_frame_ms = -1;    // when a data frame last failed its check: the line is noisy

    // Per send channel: when its last block or enquiry left, enquiries since its last verdict.
    int64_t left_ms[LINK_CHANNELS] = {};
    int backoff[LINK_CHANNELS] = {};
    // Its last block's frame, built on an idle line; -1: not.
    int64_t idle_built_ms[LINK_CHANNELS] = {};
    int marked[LINK_CHANNELS] = {};  // channels in the frame being built
    int marked_count = 0;
};

extern retransmit_state retransmit;

void timer_mark(int channel);
void timer_frame_built(int bytes);
void timer_enquired(int channel);
void timer_timed_out();
void timer_any_verdict();
void timer_verdict(int channel, bool sample);
void timer_heard(int bytes);
void timer_bad_frame(int bytes);
bool timer_overdue(int channel);
int64_t timer_timeout_ms();
