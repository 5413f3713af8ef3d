// What the ZARN link puts on the line: every byte with a meaning of its own, the line-mode
// bits agreed in the handshake, the item bytes of a frame and the frame's bounds, each named
// once here.
#pragma once

#include <cstdint>

// Control sequences: `{` and the byte after it.
constexpr uint8_t BRACE = 0x7B;       // `{`: introduces a two-byte control sequence
constexpr uint8_t FRAME_END = 0x7D;   // `}` after `{`: ends the frame, starts the next
constexpr uint8_t TERMINATE = 0x7C;   // `|` after `{`: right after `{}`, the peer ends the link
constexpr uint8_t INTERRUPT = 0x7A;   // `z` after `{`: the sender is interrupted
constexpr uint8_t DATA_BRACE = 0x5B;  // `[` after `{`: a data byte `{`
// `{` after `{`, between two ends that widen: a base-85 frame starts (else an escaped `[`,
// which such ends never escape then).
constexpr uint8_t PRINTABLE_MARK = 0x7B;
// The six bytes said to the peer at the end of every link.
constexpr char termination_sequence[] = "{}{|{}";

// Single bytes read on the line or the console.
constexpr uint8_t CTRL_C = 0x03;  // the local user's cancel key
constexpr uint8_t CTRL_X = 0x18;  // from the peer: it gives up (in a row, or interrupted)
constexpr uint8_t XON = 0x11;     // software flow control: escaped and dropped with -H
constexpr uint8_t XOFF = 0x13;
constexpr uint8_t BLOCK_MARK = '*';     // encloses the hex text of a handshake block
constexpr uint8_t BANNER_START = 0x19;  // first byte of a banner

// How bytes travel in the line modes.
constexpr uint8_t ESCAPE_XOR = 0x20;  // an escaped byte travels as itself XOR this
constexpr uint8_t HEADER_XOR = 0x20;  // a 7-bit group header travels XOR this
constexpr uint8_t B85_FIRST = 33;     // `!`: base-85 digit 0
constexpr uint8_t B85_LAST = 117;     // `u`: base-85 digit 84

// Line-mode bits of link_mode (the low byte is also the handshake mode byte).
constexpr int MODE_ESC_OUT = 0x01;   // send bytes flagged in char_flags escaped
constexpr int MODE_ESC_IN = 0x02;    // `{` b is an escape; raw CF_DROP bytes are noise
constexpr int MODE_7BIT_OUT = 0x04;  // pack frame bytes into 7-bit groups
constexpr int MODE_7BIT_IN = 0x08;   // the peer packs its bytes so
constexpr int MODE_B85_OUT = 0x10;   // printable base-85 groups
constexpr int MODE_B85_IN = 0x20;    // the peer sends base-85 groups
// Handshake mode byte only: this end escapes the bytes damaging lines touch and widens what
// it escapes when data keep failing (link/widen.h). Older ends and literal peers ignore it.
constexpr int MODE_WIDEN = 0x40;

// char_flags bits.
constexpr uint8_t CF_ESCAPE = 0x01;  // must not appear raw on the line in our direction
constexpr uint8_t CF_DROP = 0x02;    // arriving raw, it is noise or flow control

// Item bytes of a frame: the top two bits give the kind, bit 5 the sequence bit, bits 0 to 4
// the channel. A channel record keeps its sequence bit and its next verdict in these terms.
constexpr int LINK_CHANNELS = 32;
constexpr uint8_t KIND_MASK = 0xC0;
constexpr uint8_t KIND_DATA = 0x00;  // data header: the rest up to the trailer is channel data
constexpr uint8_t KIND_ENQ = 0x40;   // repeat your verdict on my outstanding block
constexpr uint8_t KIND_ACK = 0x80;   // your block was stored
constexpr uint8_t KIND_NAK = 0xC0;   // your block was refused for want of room, or never came
constexpr uint8_t SEQUENCE_BIT = 0x20;
constexpr uint8_t CHANNEL_MASK = 0x1F;

// Frames.
constexpr uint16_t LINK_CRC_RESIDUE = 0x1D0F;  // register over a good frame and its trailer
constexpr int TRAILER_BYTES = 2;               // the CRC, high byte first
constexpr int MAX_BLOCK_SIZE = 1024;           // the largest block of any profile
constexpr int FRAME_BUFFER_SIZE = 1104;        // largest frame with trailer fits with room to spare
constexpr int FRAME_ABANDON_AT = 1098;         // a frame this long without `{}` is noise

// The largest frame: a verdict and an enquiry for every channel, one block with its header
// and the zero that may close a message, and the trailer.
static_assert(2 * LINK_CHANNELS + 1 + MAX_BLOCK_SIZE + 1 + TRAILER_BYTES <= FRAME_BUFFER_SIZE);
static_assert(2 * LINK_CHANNELS + 1 + MAX_BLOCK_SIZE + 1 + TRAILER_BYTES <= FRAME_ABANDON_AT);
