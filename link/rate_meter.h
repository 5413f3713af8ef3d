// The rate meter: how many bytes a second our line carries, measured two ways: from the
// verdicts on our blocks (where on our line each block's frame ended, against when its
// verdict came), and from the peer's data frames, which follow each other at the line's
// pace. Milliseconds on serial.clock_ms.
//
// Interface summary:
//   meter_add (meter, pos, ms)      the stream stood at pos at ms; returns the meter's rate
//   meter_frame_sent (bytes, channels, count)  a frame of that many bytes was built, with
//                                   blocks or enquiries of those channels
//   meter_verdict (channel)         a verdict answered the channel's last block itself
//   meter_heard (bytes)             a frame of that many bytes arrived, good or bad; true
//                                   when it was a data frame, which measures the line
//   meter_rate ()                   the line's rate as measured now; 0 while unknown
//   meter_peer_busy ()              the peer keeps its line busy with data
//   meter_peer_data_coming ()       the peer's data frames have come lately
//   meter_peer_frame ()             wire bytes of the peer's longest recent frame
#pragma once

#include <cstdint>

#include "link/wire.h"

// The first rate sample covers at least this, so that a late pump is a small part of it.
constexpr int64_t meter_window_ms = 1000;
constexpr int64_t meter_settle_ms = 4000;  // and every later one this: late pumps shift it less
// A lower sample pulls the rate down by 1/64 of the difference: a stream that slowed is no
// sign of a slower line.
constexpr int rate_fade = 64;
constexpr int rate_rise = 8;              // 1/8 above the rate is taken early: the line carried it
constexpr int64_t meter_pause_ms = 2000;  // a longer gap is the stream stopping: a new stretch
// A step that took this many times its bytes' line time (and more than the slack) was a
// pause of the line, not the line's pace: the stretch starts again after it.
constexpr int meter_pause_factor = 3;
constexpr int64_t meter_slack_ms = 50;  // two late pumps: no pause below this
constexpr int meter_min_steps = 4;  // steps before a stretch gives a rate: its first may be a pause
constexpr int frame_end_bytes = 2;  // the `{}` after every frame: it takes the line too
// A frame longer than this carries data: verdicts and enquiries alone take at most 58 bytes.
constexpr int data_frame_bytes = 64;

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

struct rate_meter_state {
    int64_t sent_wire = 0;                 // bytes of every frame built so far, each with its `{}`
    int64_t wire_end[LINK_CHANNELS] = {};  // sent_wire after a channel's last block
    stretch_meter acked;                   // our line, at the verdicts on our blocks
    int64_t heard_wire = 0;                // bytes of every frame heard so far
    int64_t heard_last = 0;       // bytes of the latest frame heard: the one its verdicts came in
    stretch_meter heard;          // the peer's line, at its data frames
    int64_t heard_frame_max = 0;  // the peer's longest frame in this stretch, and in the last
    int64_t last_frame_max = 0;
};

extern rate_meter_state rate_meter;

int64_t meter_add(stretch_meter& m, int64_t pos, int64_t ms);
void meter_frame_sent(int bytes, const int* channels, int count);
void meter_verdict(int channel);
bool meter_heard(int bytes);
int64_t meter_rate();
bool meter_peer_busy();
bool meter_peer_data_coming();
int64_t meter_peer_frame();
