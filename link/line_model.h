// The line model: when each frame we build will have left our end of the line. Frames go out
// one after another at the rate the line has been measured to carry (link/rate_meter.h), so
// our own backlog is in the model; the retransmission timer measures a verdict's wait from
// the moment its block has left. Milliseconds on serial.clock_ms.
//
// Interface summary:
//   model_line_ms (bytes)          milliseconds the line takes for that many bytes at the rate
//   model_set_rate (rate, left_ms) the measured rate; the first starts the model: what was
//                                  built before it went out back to back, and left_ms[c] of
//                                  each block in it is when its frame was through
//   model_frame_built (bytes, channels, count) -> when a frame built now leaves, and whether
//                                  it found the line idle
//   model_verdict (channel, left_ms, quickest_ms)  a verdict on a block that left then came
//   model_catch_up (round_trip, floor_ms)  a verdict's round trip, for the model's lag
//   model_burst_overdue (channel, slack_ms)  before the rate: the block of the first burst
//                                  is overdue at twice the pace a verdict bounded
//   model_hold ()                  true while our line has enough queued: build no frame yet
//   model_block_limit (window, block)  the bytes of data blocks that may be in flight now
#pragma once

#include <cstdint>

#include "link/wire.h"

// Our line gets no more than this queued ahead of a new frame: enough to bridge late pumps,
// while a chat line, a verdict or an offer built now waits behind no more than this.
constexpr int64_t pace_ahead_ms = 40;
// Behind short frames less: with small blocks the sixteen channels hold little in flight,
// and every millisecond a verdict waits may idle the line.
constexpr int64_t pace_ahead_short_ms = 10;
constexpr int short_frame_bytes = 256;  // a frame below this is short, for pace_ahead_short_ms
// Blocks in flight until the rate is known: enough to keep a serial line busy while the first
// verdicts come back and measure it, and little to wait behind.
constexpr int start_blocks = 2;
// Bytes at most taken as queued when the model starts: no more than the window of blocks in
// flight and the verdicts beside them can be.
constexpr int64_t max_backlog_bytes = 20 * 1024;
constexpr int catch_up_verdicts = 16;          // verdicts whose quickest tells the model's lag
constexpr int64_t catch_up_tolerance_ms = 50;  // a lag the model lets pass: late pumps' jitter

struct line_model_state {
    // Frame bytes per second our line carries, 0 until measured (while it is 0, a block is
    // taken to leave when its frame is built).
    int64_t rate = 0;
    int64_t line_free_ms = 0;    // when the line will have carried every frame built so far
    int64_t line_free_rest = 0;  // and the fraction of a millisecond beyond it, times the rate
    int64_t peak_backlog = 0;  // our recent largest backlog in bytes; the peer's is taken as alike
    int64_t unmodelled_bytes = 0;               // built before the rate was known
    int64_t unmodelled_since = -1;              // when that burst began; -1: none
    int64_t unmodelled_at[LINK_CHANNELS] = {};  // bytes built up to a block's frame, unmodelled
    // Microseconds a byte of that burst took at most, by its latest verdict: the line carried
    // the bytes up to the judged block in the time since the burst began. 0: none yet.
    int64_t burst_pace_us = 0;
    int64_t last_build_ms = 0;  // when the last frame was built
    int last_data_frame = 0;    // bytes of the last frame built with a block in it
    int64_t recent_min_ms = 0;  // the quickest of the recent verdicts (round trips)
    int recent_count = 0;       // verdicts in recent_min_ms
    int64_t caught_up_ms = 0;   // what the model has caught up in all, for the trace
};

extern line_model_state line_model;

struct frame_departure {
    int64_t left_ms;  // when the frame's last byte is through
    bool idle;        // it found the line idle
};

int64_t model_line_ms(int64_t bytes);
void model_set_rate(int64_t rate, int64_t* left_ms);
frame_departure model_frame_built(int bytes, const int* channels, int count);
void model_verdict(int channel, int64_t left_ms, int64_t quickest_ms);
void model_catch_up(int64_t round_trip, int64_t floor_ms);
bool model_burst_overdue(int channel, int64_t slack_ms);
bool model_hold();
int model_block_limit(int window, int block_size);
