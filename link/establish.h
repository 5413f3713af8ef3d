// Link establishment: the port opened, the handshake, the line modes agreed.
//
// Interface summary:
//   link_establish (banner, identification)
//                         returns the peer's identification byte once the link is up;
//                         failures leave through link_fail, or end the run with 20
//                         (port not opened, locked or set up: the reason on standard error)
//   link_rehandshake (why)  back to the handshake on the open port: the link and its
//                         channels reset, our flags as the command line set them; the silence
//                         timer runs on from before a false link, anew for a restarted peer;
//                         returns as link_establish does
//   hex_digit (v), hex_value (x)
//
// The steps of the handshake, exposed for tests (all work on `establish` and `codec`):
//   reset_link_state (mode_word)   the resets done before anything is sent
//   build_handshake_block (identification, mode_word) -> block length, built in codec.tx_frame
//   handshake_send_pass ()   banner and block (unless the peer's `{}` came first)
//   handshake_byte (b)       one byte from the line -> 1 when the link is established;
//                            may end the run through link_fail
//   check_peer_block (block, length) -> 0 usable, -1 ignored (CRC, short, unclosed list);
//                            a wrong version ends the run
//   apply_peer_block (block, length)  adds the peer's needs to link_mode and char_flags
//   make_mode_text ()        mode_text from link_mode
//   handshake_finish ()      `{` escaping, mode_text, first frame opened, messages shown;
//                            returns the peer's identification byte
//   handshake_flush ()       writes what the line takes of the pending bytes
#pragma once

#include <cstdint>
#include <ctime>

#include "link/relink.h"
#include "link/setup.h"

constexpr int handshake_version = 3;
constexpr int handshake_resend_s = 4;  // a new send pass once more than this has passed
constexpr uint8_t kestro_identification = 0x63;
constexpr int handshake_collect_max = 1101;  // collected bytes before collecting stops
constexpr int handshake_header = 3;          // version, identification, mode byte
constexpr int handshake_trailer = 2;
// Pending line bytes: one copy of the block (at most 1,060 bytes) and many `{}` answers.
constexpr int handshake_out_size = 2304;
constexpr int handshake_echo_size = 256;  // echoed bytes gathered for one write

// 0x19, "KESTRO", 0x18, " v1.0 "
extern const uint8_t link_banner[RELINK_BANNER_SIZE];

struct establish_state {
    char mode_text[6] = "";  // the line modes as the user reads them: "8/8", "7C/7X"

    // Our block, built in codec.tx_frame, and the banner sent before each copy.
    const uint8_t* banner = nullptr;  // null: link_banner
    int block_length = 0;

    // Collecting the peer's block from its hex text.
    int collecting = 1;           // 0 once stopped, until the next '*'
    int collect_pos = 0;          // bytes stored in codec.rx_frame
    int hex_count = 0;            // characters seen since the last '*'
    int held_char = 0;            // first character of a pair
    uint8_t previous = 0;         // previous byte read from the line
    int got_block = 0;            // the peer's block has been accepted
    int got_brace = 0;            // the peer's `{}` came before its block
    int peer_heard = 0;           // a banner byte or a block mark came: a `{|` now is the peer's
    int banner_heard = 0;         // its whole banner or its block came: a `{}` now is the peer's
    int banner_pos = 0;           // bytes of its banner matched so far
    int cooked = 0;               // our banner came back as "^YKESTRO^X": the copy is ours
    int cooked_pos = 0;           // characters of that text matched so far
    int timer_only = 0;           // copies go only every handshake_resend_s (an echo answers)
    time_t pass_start = 0;        // clock second of the current send pass
    int peer_identification = 0;  // the identification byte of the peer's block
    int peer_mode = 0;            // the mode byte of the peer's block

    // Bytes for the line that it has not taken yet.
    uint8_t out[handshake_out_size] = {};
    int out_len = 0;
    int out_pos = 0;  // bytes of out the line has taken

    // The text of the peer's banner, shown once on standard error.
    uint8_t echo[handshake_echo_size] = {};
    int echo_len = 0;
    int in_banner = 0;  // its banner started: printable bytes are collected up to '*'
    int banner_shown = 0;
};

extern establish_state establish;

int link_establish(const uint8_t* banner, uint8_t identification);
int link_rehandshake(relink_reason why);
char hex_digit(int v);
int hex_value(int x);

void reset_link_state(int mode_word);
int build_handshake_block(uint8_t identification, int mode_word);
void handshake_send_pass();
int handshake_byte(uint8_t b);
int check_peer_block(const uint8_t* block, int length);
void apply_peer_block(const uint8_t* block, int length);
void make_mode_text();
int handshake_finish();
void handshake_flush();
