#include "link/relink.h"

#include <cstring>

#include "link/codec.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"

relink_state relink;

namespace {

constexpr int version = 3;      // of the handshake block, its first byte
constexpr int block_least = 5;  // version, identification, mode byte and the trailer

bool upper_hex(uint8_t b) { return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F'); }

int nibble(uint8_t b) { return b <= '9' ? b - '0' : b - 'A' + 10; }

// The '*' that closes a block: a good one with our version is a peer's handshake copy.
void block_closed() {
    const int n = relink.block_len;
    if (relink.hex_count % 2 == 0 && n >= block_least && relink.block[0] == version &&
        crc16(relink.block, relink.block + n) == LINK_CRC_RESIDUE && !relink.copy_seen) {
        relink.copy_seen = true;
        relink.copy_time = serial.clock;
        relink.copy_good_frames = delivery.good_frames;
    }
    relink.in_block = false;
}

void scan(uint8_t b) {
    if (relink.in_block) {
        if (b == BLOCK_MARK) return block_closed();
        if (!upper_hex(b) || relink.block_len >= scan_block_max) {
            relink.in_block = false;
        } else if (relink.hex_count++ % 2 == 0) {
            relink.held = b;
        } else {
            relink.block[relink.block_len++] =
                static_cast<uint8_t>(nibble(relink.held) * 16 + nibble(b));
        }
        if (relink.in_block) return;
    }
    if (relink.banner_pos == RELINK_BANNER_SIZE) {
        relink.banner_pos = 0;
        if (b == BLOCK_MARK) {
            relink.in_block = true;
            relink.block_len = 0;
            relink.hex_count = 0;
            return;
        }
    }
    if (b == relink.banner[relink.banner_pos])
        ++relink.banner_pos;
    else
        relink.banner_pos = b == relink.banner[0] ? 1 : 0;
}

// On a slow line the frame that holds a copy as data may need longer than restart_confirm_s
// to end: a whole frame, escaped throughout, is waited for on top at the line's rate.
time_t restart_confirm_window_s() {
    const int64_t rate = link_line_rate();
    return restart_confirm_s + (rate > 0 ? 2 * FRAME_BUFFER_SIZE / rate : 0);
}

}  // namespace

void relink_watch(const uint8_t* bytes, int n) {
    for (int i = 0; i < n; ++i) {
        // Most reads hold no banner at all: skip to its first byte.
        if (relink.banner_pos == 0 && !relink.in_block && bytes[i] != relink.banner[0]) continue;
        scan(bytes[i]);
    }
}

void relink_link_up(const uint8_t* banner) {
    const bool told = relink.echo_told;
    relink = relink_state{};
    relink.echo_told = told;
    memcpy(relink.banner, banner, sizeof relink.banner);
    relink.up_time = serial.clock;
    relink.up_rx_time = codec.last_rx_time;
    relink.up_good_frames = delivery.good_frames;
    raw_watch = relink_watch;
}

relink_reason relink_check() {
    if (relink.found != RELINK_NONE) return relink.found;
    // A copy inside a frame whose end came good was data: a captured session, say.
    if (relink.copy_seen && delivery.good_frames != relink.copy_good_frames)
        relink.copy_seen = false;
    // A peer that interrupted itself (`{z`) is there, and says nothing on purpose.
    if (delivery.good_frames == relink.up_good_frames && codec.link_interrupted == 0 &&
        serial.clock - relink.up_time > first_frame_s)
        relink.found = RELINK_NO_FRAME;
    else if (relink.copy_seen && serial.clock - relink.copy_time > restart_confirm_window_s())
        relink.found = RELINK_RESTARTED;
    return relink.found;
}

void relink_echo() { relink.found = RELINK_ECHO; }

bool relink_tell_echo() {
    if (relink.echo_told) return false;
    relink.echo_told = true;
    console_error("kestro: the line echoes what we send\n");
    return true;
}

int peer_silent_s() {
    const time_t heard =
        delivery.good_frames != relink.up_good_frames && delivery.last_good_time > relink.up_time
            ? delivery.last_good_time
            : relink.up_time;
    return static_cast<int>(serial.clock - heard);
}
