// Back to the handshake: what shows that the link we have is not with a peer (our own
// echo), or no longer with the one we linked with (it restarted), and the seconds the peer
// has been silent. The handshake itself is run again by link_rehandshake (link/establish.h).
//
// Interface summary:
//   relink_watch (bytes, n)  every raw read of the running link (the codec's raw_watch):
//                            a peer's banner and good handshake block in it, which a good
//                            frame end must follow
//   relink_link_up (banner)  the handshake completed: the watch starts anew, for copies of
//                            this banner
//   relink_check ()          -> the reason to go back to the handshake now, RELINK_NONE
//                            while the link is sound: no good frame within first_frame_s of
//                            link-up; a handshake copy not followed by a good frame end
//                            within restart_confirm_s
//   relink_echo ()           the session met its own probe: the line echoes what we send
//   relink_tell_echo ()      "the line echoes what we send" on standard error, once in the
//                            run: true the first time (the screen says it then too)
//   peer_silent_s ()         whole seconds since the peer's last good frame (or link-up)
#pragma once

#include <cstdint>
#include <ctime>

enum relink_reason : uint8_t {
    RELINK_NONE = 0,
    RELINK_NO_FRAME,   // the link came up with no peer that frames: an echo, noise, a dead end
    RELINK_RESTARTED,  // the peer's handshake on the running link: it started anew
    RELINK_ECHO,       // our own probe came back: we linked with our echo
};

constexpr int first_frame_s = 10;  // a peer's first frame comes long before (its opening block)
// A restarted peer sends its block again within 5 s, a live one a frame end at least every
// 4 s (its keep-alive): a copy with nothing good after it this long is a new peer.
constexpr int restart_confirm_s = 6;
constexpr int scan_block_max = 600;  // a handshake block with both lists full is 521 bytes
constexpr int RELINK_BANNER_SIZE = 14;

struct relink_state {
    time_t up_time = 0;          // clock second of the last link-up
    time_t up_rx_time = 0;       // the silence timer then: an echo or a false link do not reset it
    int32_t up_good_frames = 0;  // delivery.good_frames then
    relink_reason found = RELINK_NONE;  // set once: the link goes back for this reason

    // A banner and handshake block on the running link, taken from the raw bytes.
    uint8_t banner[RELINK_BANNER_SIZE] = {};
    int banner_pos = 0;     // banner bytes matched; RELINK_BANNER_SIZE: the '*' is next
    bool in_block = false;  // between the block's two '*'
    uint8_t block[scan_block_max] = {};
    int block_len = 0;
    int hex_count = 0;
    uint8_t held = 0;
    bool copy_seen = false;  // a good copy came and no good frame end after it
    time_t copy_time = 0;
    int32_t copy_good_frames = 0;  // delivery.good_frames then

    bool echo_told = false;  // the user has been told the line echoes
};

extern relink_state relink;

void relink_watch(const uint8_t* bytes, int n);
void relink_link_up(const uint8_t* banner);
relink_reason relink_check();
void relink_echo();
bool relink_tell_echo();
int peer_silent_s();
