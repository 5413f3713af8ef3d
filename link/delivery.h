// Reliable delivery: frame contents, acknowledgements, enquiries, block size, profiles.
//
// Interface summary:
//   build_frame ()        end of the frame built in codec.tx_frame, or null: nothing to send
//   handle_frame (end)    takes the frame in codec.rx_frame up to end; bad CRC ignored;
//                         protocol errors end the link ("ZARN data link error.")
//   set_profile (letter)  0 for one of "TSCMLH", -1 otherwise (letter stored either way)
//   profile_rank (letter) place in the order "TSCMLH": -1 for an unknown letter, 6 for NUL
//   block_grow (), block_shrink ()
//   link_counters ()      the link's figures for the status area and the log
//   link_line_rate ()     bytes per second our line carries as measured, 0 until then
//   profile_letter ()     the profile in force: the command line's, then the one agreed on
//   link_trace            null; a test build points it at a writer of what the link does
#pragma once

#include <cstdint>
#include <ctime>

#include "link/wire.h"

constexpr int keepalive_s = 4;  // send an empty frame after more than this idle
constexpr int max_tries = 15;   // the 17th enquiry since the last ACK fails the link

// Everything here starts anew with every link (reset_link_state): these are the initial values.
struct delivery_state {
    // Block sizes: they adapt to the errors within the profile's limits.
    int block_size = MAX_BLOCK_SIZE;  // data bytes of the next block at most
    int block_max = MAX_BLOCK_SIZE;   // the profile's largest block
    int block_min = 16;               // shrinking stops here
    int window_size = 16384;          // bytes in flight over all channels at most
    int good_count = 96;              // good events toward the next doubling: the first after 32

    // The verdicts of the last frame built, repeated once in the next (see build_frame).
    uint8_t last_verdicts[LINK_CHANNELS] = {};  // one a channel at most
    int last_verdict_count = 0;
    int64_t last_frame_ms = 0;  // when that frame was built

    // The byte counts pass 2 GiB in a long session: 64 bits, never a signed overflow.
    int32_t rx_packets = 0;  // the peer's blocks stored
    int64_t rx_bytes = 0;
    int32_t rx_errors = 0;   // the peer's blocks refused for want of room, or missed
    int32_t tx_packets = 0;  // our blocks acknowledged
    int64_t tx_bytes = 0;
    int32_t tx_errors = 0;  // NAKs of our blocks

    int32_t good_frames = 0;    // frames that passed their check, wrapping
    time_t last_good_time = 0;  // clock second of the last of them
};

extern delivery_state delivery;

struct link_channel;
// What the link did, for the trace of a test build (the shipped program leaves the hook null).
enum link_event {
    EVENT_BLOCK,            // a data block went into a frame: n bytes from the read position
    EVENT_ENQUIRY,          // an enquiry about a block presumed lost
    EVENT_TIMEOUT_ENQUIRY,  // an enquiry because the verdict is overdue
    EVENT_ACK,              // an ACK for the outstanding block was accepted: n bytes
    EVENT_NAK,              // a NAK for the outstanding block was accepted
    EVENT_BAD_FRAME,        // a frame failed its check: n bytes
    EVENT_FRAME,            // a frame was built: n bytes with its trailer
};
extern void (*link_trace)(link_event event, const link_channel* rec, int n);

// The link's figures as the status area shows them.
struct link_figures {
    int64_t window_size;
    int64_t in_flight;  // bytes of blocks not yet acknowledged, all channels together
    int64_t block_size;
    int64_t rx_packets;
    int64_t rx_bytes;
    int64_t rx_errors;
    int64_t tx_packets;
    int64_t tx_bytes;
    int64_t tx_errors;
};

uint8_t* build_frame();
void handle_frame(uint8_t* end);
int set_profile(char letter);
int profile_rank(char letter);
void block_grow();
void block_shrink();
link_figures link_counters();
int64_t link_line_rate();
char profile_letter();
