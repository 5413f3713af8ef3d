// Escaping between two Kestro ends for lines that damage bytes: a telnet client that takes
// 0x1D as its escape, a pseudo-terminal that eats XON and XOFF, a server that sends CR as
// CR NUL, ssh's newline-`~`. Both ends say in their handshake block (mode bit MODE_WIDEN)
// that they can; when both did, each escapes widen_default_set from its first frame on,
// and the peer decodes escapes from its first frame on: the handshake is the switch point.
// When the same data still keeps failing, an end widens what it sends, never what it
// reads: first every control byte (the peer decodes any escape already), then printable
// base-85 frames, each of them opened by `{{` so the peer knows it from its first byte.
//
// Interface summary:
//   widen_start (peer_mode)     at the end of the handshake: on when both mode bytes carry
//                               MODE_WIDEN (and neither end asked for base-85 already)
//   widen_block_lost (channel, smallest)  the peer never got our block on the channel (a NAK
//                               after an enquiry), the block as short as blocks get or not:
//                               the same bytes go again
//   widen_block_acked (channel) our block on the channel arrived
//   widen_unanswered (count)    a channel's enquiries since its last verdict, this one
//                               counted: every widen_silent_enquiries of them widen a step
//                               while the peer's frames arrive, the last as many of them bad
//                               (a line that stalls carries nothing: no reason to widen)
//   widen_frame_heard (good)    a frame of the peer's arrived, good or bad
//   widen_verdict_asked (channel)  the peer asked again for a verdict we had given
//   widen_block_stored (channel)   a new block of the peer's arrived on the channel
//   widen_step ()               what we send widens one step now; false at the last step
//   widen_install_notice (fn)   where "what we escape now" is said besides standard error
//                               (the screen's information line); null: nowhere else
//   widen_escape_text ()        what we escape now, as said
// Nothing here acts while widening is off: toward a peer that announced nothing, or an
// older Kestro, every byte goes as before.
#pragma once

#include <cstdint>

#include "link/wire.h"

// The bytes such lines touch: CR (CR NUL, CR LF), XON and XOFF (flow control the line does
// for itself), 0x1D (a telnet client's escape; 0x9D too while the session is not binary, as
// with busybox telnetd: the client compares 7 bits), `~` (ssh's escape after a newline) and
// 0xFF (telnet's IAC). About 2.7 % more bytes on random or compressed data.
constexpr uint8_t widen_default_set[] = {0x0D, XON, XOFF, 0x1D, 0x9D, 0x7E, 0xFF};

// The same data failing this often in a row, its block at the smallest size, widens a step:
// random noise seldom hits one short block so often, a byte the line eats always does.
constexpr int widen_losses = 3;
// Enquiries about a verdict we gave, this many for one channel with no new block between:
// our frames do not reach the peer.
constexpr int widen_asked = 3;

// Enquiries about one block with no verdict at all, while as many of the peer's frames in a
// row came bad: neither our frames nor the peer's get through (noise seldom does that to
// both at once); the peer's end widens on its own evidence.
constexpr int widen_silent_enquiries = 3;

enum widen_level : int {
    WIDEN_OFF = 0,       // a peer that did not announce it: nothing changes
    WIDEN_DEFAULT = 1,   // widen_default_set escaped both ways
    WIDEN_CONTROLS = 2,  // we escape every control byte (C0 and DEL) too
    WIDEN_PRINTABLE = 3  // our frames go as base-85 text
};

struct widen_state {
    widen_level level = WIDEN_OFF;
    int losses[LINK_CHANNELS] = {};  // our blocks lost in a row at the smallest size
    int asked[LINK_CHANNELS] = {};   // enquiries about verdicts given, since the last block
    int bad_frames = 0;              // the peer's frames that failed since its last good one
};

extern widen_state widen;

void widen_start(int peer_mode);
void widen_block_lost(int channel, bool smallest);
void widen_block_acked(int channel);
void widen_unanswered(int count);
void widen_frame_heard(bool good);
void widen_verdict_asked(int channel);
void widen_block_stored(int channel);
bool widen_step();
void widen_install_notice(void (*notice)(const char* text));
const char* widen_escape_text();
