// Frame codec and CRC of the ZARN link: framing, line modes, control sequences.
//
// Interface summary:
//   crc16 (first, end)     CRC-16/GENIBUS register over [first, end), not complemented
//   link_transmit ()       one transmit step: encode frames from build_frame, write to the port
//   link_receive ()        one receive step: read until the port is empty, decode, handle_frame;
//                          after the peer's goodbye nothing more is read
//   codec_flush_pending () write once what is pending of the current chunk (termination)
//   link_suspend ()        before this end stops: what is pending out, the frame being
//                          encoded given up, then `{z` (the peer holds its silence time-out
//                          and sends nothing)
//   link_resume ()         after it went on: `{}` ends the interruption; the silence timer
//                          starts anew
//   codec_printable_marks (on)  between two ends that widen (link/widen.h): `{{` opens a
//                          base-85 frame; off, `{{` is an escaped `[` as ever
//   codec_send_printable ()  our frames from the next one on go as base-85, each opened by `{{`
#pragma once

#include <cstdint>
#include <ctime>

#include "link/wire.h"

constexpr int CHUNK_SIZE = 256;      // encoded bytes of one chunk at most
constexpr int CHUNK_CLOSE_AT = 252;  // an escape pair or b85 group may still follow
// Chunks gathered into one port write while the line takes whole writes, not one write per
// chunk: on a fast line the system calls, not the line, would set the pace.
constexpr int GATHER_CHUNKS = 16;
// One port read at most, not 256 bytes: the terminal layer holds up to 4 KiB at a time.
constexpr int READ_SIZE = 4096;

struct codec_state {
    int link_mode = 0;  // MODE_* bits agreed in the handshake (char_flags: link/setup.h)

    // Transmit.
    uint8_t tx_frame[FRAME_BUFFER_SIZE] = {};  // the frame being encoded, as built
    uint8_t* tx_pos = nullptr;  // its next byte to encode; null: no frame being encoded
    uint8_t* tx_end = nullptr;
    int pack_left = 0;        // data bytes left in the current 7-bit group
    int brace_flag = 0;       // last plain byte emitted was `{`
    int end_sent = 0;         // the frame's closing `{}` already went into the chunk
    int lead_brace = 0;       // the next chunk starts with `{}` (frame after an idle line)
    int send_printable = 0;   // frames from the next one on go as base-85 after `{{`
    int frame_printable = 0;  // the frame being encoded does: its `{{` still to come when
                              // lead_mark is set
    int lead_mark = 0;
    uint8_t tx_chunk[GATHER_CHUNKS * CHUNK_SIZE] = {};  // consecutive chunks for one write
    int gather_chunks = 1;  // chunks the next write may gather: doubles while writes go whole
    const uint8_t* pending = nullptr;  // encoded bytes the line has not taken yet
    int pending_count = 0;
    time_t last_tx_time = 0;  // clock second a frame's bytes last went into a chunk

    // Receive.
    uint8_t rx_raw[READ_SIZE] = {};            // one port read
    uint8_t rx_frame[FRAME_BUFFER_SIZE] = {};  // the frame being decoded
    int rx_pos = 0;                            // its bytes so far
    int in_frame = 0;          // a `{}` opened this frame: 0 drops bytes up to the next `{}`
    int pending_brace = 0;     // the last read ended in a `{`: its partner comes in the next
    int printable_marks = 0;   // `{{` opens a base-85 frame (both ends widen)
    int rx_printable = 0;      // the frame being decoded opened with `{{`: base-85
    int group_count = 0;       // digits of this base-85 group so far, or 7-bit bytes still due
    uint32_t accumulator = 0;  // the base-85 group's value so far
    uint8_t high_bits = 0;     // 7-bit group header register
    int link_interrupted = 0;  // the peer sent `{z`: 1, one more for each Ctrl-X in a row
    time_t last_rx_time = 0;   // clock second of the last frame end (the silence timer)
    int peer_goodbye = 0;      // the peer's `{|` came right after a frame end: it has gone
};

extern codec_state codec;

// The delivery layer above builds the frames we send and takes the ones we decode:
// delivery.cpp points these at build_frame and handle_frame; tests put a frame factory
// and a frame tap here.
extern uint8_t* (*frame_source)();
extern void (*frame_sink)(uint8_t* end);
// Null, or what looks at every read as it came before it is decoded: link/relink.cpp
// watches it for a restarted peer's handshake.
extern void (*raw_watch)(const uint8_t* bytes, int n);

uint16_t crc16(const uint8_t* first, const uint8_t* end);
void link_transmit();
void link_receive();
void codec_flush_pending();
void link_suspend();
void link_resume();
void codec_printable_marks(bool on);
void codec_send_printable();
