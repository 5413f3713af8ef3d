#include "link/establish.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/line_model.h"
#include "link/rate_meter.h"
#include "link/relink.h"
#include "link/retransmit.h"
#include "link/supervise.h"
#include "link/widen.h"
#include "link/wire.h"
#include "serial/port.h"
#include "serial/process.h"

const uint8_t link_banner[RELINK_BANNER_SIZE] = {BANNER_START, 'K', 'E', 'S', 'T', 'R', 'O',
                                                 CTRL_X,       ' ', 'v', '1', '.', '0', ' '};

establish_state establish;

namespace {

void queue_out(const uint8_t* bytes, int count) {
    if (establish.out_pos > 0) {
        int left = establish.out_len - establish.out_pos;
        memmove(establish.out, establish.out + establish.out_pos, left);
        establish.out_len = left;
        establish.out_pos = 0;
    }
    // A line that has not taken a buffer's worth is dead; supervision will end it.
    if (establish.out_len + count > handshake_out_size) return;
    memcpy(establish.out + establish.out_len, bytes, count);
    establish.out_len += count;
}

void queue_confirmation() {
    static const uint8_t confirmation[2] = {BRACE, FRAME_END};
    queue_out(confirmation, 2);
    handshake_flush();
}

void restart_collecting() {
    establish.collecting = 1;
    establish.collect_pos = 0;
    establish.hex_count = 0;
}

void collect(uint8_t b) {
    if (!establish.collecting) return;
    if (establish.hex_count++ % 2 == 0) {
        establish.held_char = b;
        return;
    }
    // No check here: a character that is not upper-case hex spoils the block's CRC.
    codec.rx_frame[establish.collect_pos++] =
        static_cast<uint8_t>(hex_value(establish.held_char) * 16 + hex_value(b));
    if (establish.collect_pos >= handshake_collect_max) establish.collecting = 0;
}

int crc_good(const uint8_t* block, int length) {
    // Shorter than the header and trailer: an empty block has a good CRC but no version.
    if (length < handshake_header + handshake_trailer) return 0;
    return crc16(block, block + length) == LINK_CRC_RESIDUE;
}

// Offset just past the list that starts at `from`, or -1 when its `{` is missing.
int list_end(const uint8_t* block, int from, int data_end) {
    for (int i = from; i < data_end; ++i)
        if (block[i] == BRACE) return i + 1;
    return -1;
}

// At a '*': the text since the previous one may hold the peer's block. Returns 1 when
// this completes the establishment.
int block_mark() {
    int good = establish.collecting && establish.hex_count % 2 == 0 &&
               crc_good(codec.rx_frame, establish.collect_pos);
    if (establish.cooked) {
        // Our own copy, come back through a terminal that echoes: neither applied nor
        // confirmed, and not answered with another copy (which would come back too).
        if (good) relink_tell_echo();
        restart_collecting();
        return 0;
    }
    int done = 0;
    if (good && establish.got_block) {
        queue_confirmation();  // its copy crossed our `{}`: confirm again, apply nothing
    } else if (good && check_peer_block(codec.rx_frame, establish.collect_pos) == 0) {
        establish.banner_heard = 1;
        apply_peer_block(codec.rx_frame, establish.collect_pos);
        establish.peer_identification = codec.rx_frame[1];
        queue_confirmation();
        if (establish.got_brace)
            done = 1;
        else
            establish.got_block = 1;
    }
    restart_collecting();
    if (!done && !establish.timer_only) handshake_send_pass();
    return done;
}

// The peer is heard once a whole banner came (a cooked one is ours): a `{}` before that
// may be what a session still running on the line sends, the frames of a peer that has
// not noticed we started anew; taken for a confirmation, it would stop our block for good.
void watch_banner(uint8_t b) {
    const uint8_t* banner = establish.banner ? establish.banner : link_banner;
    if (b == banner[establish.banner_pos])
        ++establish.banner_pos;
    else
        establish.banner_pos = b == banner[0] ? 1 : 0;
    if (establish.banner_pos == RELINK_BANNER_SIZE) {
        establish.banner_pos = 0;
        establish.banner_heard = 1;
    }
}

// A terminal that echoes (cooked, with its control characters shown) sends our banner back
// as the text "^YKESTRO^X": a copy after it is ours, until a banner of real bytes comes.
void watch_cooked(uint8_t b) {
    static const char cooked_banner[] = "^YKESTRO^X";
    if (b == BANNER_START) {
        establish.cooked = 0;
        establish.cooked_pos = 0;
    } else if (b == static_cast<uint8_t>(cooked_banner[establish.cooked_pos])) {
        if (cooked_banner[++establish.cooked_pos] == '\0') {
            establish.cooked = 1;
            establish.cooked_pos = 0;
        }
    } else {
        establish.cooked_pos = b == '^' ? 1 : 0;
    }
}

// The user sees the text of the peer's banner once ("KESTRO v1.0"): its printable bytes
// up to the block. The block and the confirmations are nothing a person reads, and a
// sequence from the peer must never reach the terminal.
void echo_byte(uint8_t b) {
    if (establish.banner_shown) return;
    if (b == BANNER_START) {
        establish.echo_len = 0;
        establish.in_banner = 1;
    } else if (establish.in_banner && b == BLOCK_MARK) {
        establish.in_banner = 0;
        while (establish.echo_len > 0 && establish.echo[establish.echo_len - 1] == ' ')
            --establish.echo_len;
        if (establish.echo_len == 0) return;
        establish.banner_shown = 1;
        establish.echo[establish.echo_len] = '\0';
        char line[handshake_echo_size + 8];
        snprintf(line, sizeof line, "%s\r\n", reinterpret_cast<char*>(establish.echo));
        console_error(line);
    } else if (establish.in_banner && b >= ' ' && b <= '~' &&
               establish.echo_len < handshake_echo_size - 1) {
        establish.echo[establish.echo_len++] = b;
    }
}

// One direction's line modes as the user reads them: "7X" for base-85, else 7 or 8 bits
// and a "C" when escaped.
const char* direction_text(bool base85, bool seven_bits, bool escaped) {
    static const char* const texts[] = {"8", "8C", "7", "7C"};
    return base85 ? "7X" : texts[(seven_bits ? 2 : 0) + (escaped ? 1 : 0)];
}

}  // namespace

char hex_digit(int v) { return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10); }

int hex_value(int x) { return x < ':' ? x - '0' : x - 55; }

void reset_link_state(int mode_word) {
    // What the command line chose lives in link_setup: everything else starts anew.
    termination = termination_state{};
    codec = codec_state{};
    codec.link_mode = mode_word;
    delivery = delivery_state{};
    retransmit = retransmit_state{};
    line_model = line_model_state{};
    rate_meter = rate_meter_state{};
    schedule = schedule_state{};
}

int build_handshake_block(uint8_t identification, int mode_word) {
    link_setup.char_flags[BRACE] = 0;
    uint8_t* p = codec.tx_frame;
    *p++ = handshake_version;
    *p++ = identification;
    *p++ = static_cast<uint8_t>(mode_word & 0xFF);
    if (mode_word & MODE_ESC_OUT) {
        for (int v = 0; v < 256; ++v)
            if (link_setup.char_flags[v] & CF_ESCAPE) *p++ = static_cast<uint8_t>(v);
        *p++ = BRACE;
    }
    if (mode_word & MODE_ESC_IN) {
        for (int v = 0; v < 256; ++v)
            if (link_setup.char_flags[v] & CF_DROP) *p++ = static_cast<uint8_t>(v);
        *p++ = BRACE;
    }
    uint16_t trailer = static_cast<uint16_t>(~crc16(codec.tx_frame, p));
    *p++ = static_cast<uint8_t>(trailer >> 8);
    *p++ = static_cast<uint8_t>(trailer & 0xFF);
    establish.block_length = static_cast<int>(p - codec.tx_frame);
    return establish.block_length;
}

void handshake_flush() {
    while (establish.out_pos < establish.out_len) {
        int n =
            port_write(establish.out + establish.out_pos, establish.out_len - establish.out_pos);
        if (n <= 0) break;
        establish.out_pos += n;
    }
    if (establish.out_pos == establish.out_len) establish.out_pos = establish.out_len = 0;
}

void handshake_send_pass() {
    establish.pass_start = serial.clock;
    if (establish.got_brace) return;  // the peer has our block: it said so
    uint8_t copy[sizeof link_banner + 2 * FRAME_BUFFER_SIZE + 3];
    int n = 0;
    const uint8_t* banner = establish.banner ? establish.banner : link_banner;
    memcpy(copy, banner, sizeof link_banner);
    n += sizeof link_banner;
    copy[n++] = BLOCK_MARK;
    for (int i = 0; i < establish.block_length; ++i) {
        copy[n++] = static_cast<uint8_t>(hex_digit(codec.tx_frame[i] >> 4));
        copy[n++] = static_cast<uint8_t>(hex_digit(codec.tx_frame[i] & 0x0F));
    }
    copy[n++] = BLOCK_MARK;
    copy[n++] = '\r';
    queue_out(copy, n);
    handshake_flush();
}

int check_peer_block(const uint8_t* block, int length) {
    if (!crc_good(block, length)) return -1;
    if (block[0] != handshake_version)
        link_fail("Incompatible program version.", SEND_GOODBYE, PAUSE_AFTER);
    int data_end = length - handshake_trailer;
    int at = handshake_header;
    // A list without its closing `{` would have us read past the block: ignore the block.
    if (block[2] & MODE_ESC_OUT) {
        at = list_end(block, at, data_end);
        if (at < 0) return -1;
    }
    if ((block[2] & MODE_ESC_IN) && list_end(block, at, data_end) < 0) return -1;
    return 0;
}

void apply_peer_block(const uint8_t* block, int length) {
    int peer_mode = block[2];
    establish.peer_mode = peer_mode;
    // Each of the peer's sending bits is our receiving bit, and the other way round.
    codec.link_mode |= ((peer_mode & 0x15) << 1) | ((peer_mode & 0x2A) >> 1);
    int data_end = length - handshake_trailer;
    int at = handshake_header;
    if (peer_mode & MODE_ESC_OUT) {
        // The peer escapes these, so any of them arriving raw is noise.
        for (; at < data_end && block[at] != BRACE; ++at) set_char_flags(block[at], CF_DROP);
        ++at;
    }
    if (peer_mode & MODE_ESC_IN) {
        // The peer drops these when they arrive raw, so we escape them.
        for (; at < data_end && block[at] != BRACE; ++at) set_char_flags(block[at], CF_ESCAPE);
    }
}

void make_mode_text() {
    const int m = codec.link_mode;
    snprintf(establish.mode_text, sizeof establish.mode_text, "%s/%s",
             direction_text(m & MODE_B85_IN, m & MODE_7BIT_IN, m & MODE_ESC_IN),
             direction_text(m & MODE_B85_OUT, m & MODE_7BIT_OUT, m & MODE_ESC_OUT));
}

int handshake_finish() {
    link_setup.char_flags[BRACE] |=
        static_cast<uint8_t>(codec.link_mode & (MODE_ESC_OUT | MODE_ESC_IN));
    make_mode_text();
    // Escapes between two ends that widen come on top of the options the mode text tells.
    widen_start(establish.peer_mode);
    // The `{}` that completes us also opens the codec's first frame, so a goodbye right
    // after it ends the link instead of leaving us a session with nobody.
    codec.in_frame = 1;
    codec.rx_pos = 0;
    handshake_flush();
    if (establish.out_pos < establish.out_len) {
        // The codec writes what is pending before any frame.
        codec.pending = establish.out + establish.out_pos;
        codec.pending_count = establish.out_len - establish.out_pos;
        port_want_write(true);
    }
    relink_link_up(establish.banner ? establish.banner : link_banner);
    link_setup.user_terminal = 0;  // a peer was heard: a 0x03 may be its from now on
    // Again after a restart, the display owns the terminal: it says so itself.
    if (!process.screen_active) {
        char line[80];
        snprintf(line, sizeof line, "\r\nZARN data link established. Data link i/o mode %s bits.",
                 establish.mode_text);
        console_message(line);
    }
    return establish.peer_identification;
}

int handshake_byte(uint8_t b) {
    uint8_t p = establish.previous;
    establish.previous = b;
    watch_cooked(b);
    watch_banner(b);
    // Our own banner coming back cooked is not the peer.
    if (b == BANNER_START || (b == BLOCK_MARK && !establish.cooked)) establish.peer_heard = 1;
    // On the terminal a person types in, Ctrl+C ends the door as long as no peer spoke:
    // after that a 0x03 may be the peer's.
    if (b == CTRL_C && link_setup.user_terminal && !establish.peer_heard)
        link_fail("Initialization cancelled.", SEND_GOODBYE, NO_PAUSE);
    // Before the peer has said anything of this establishment, a `{}` or `{|` is what an
    // earlier session left on the line (its goodbye ends in `{}`): taken for the peer's, it
    // would stop our block for good while the peer waits for it. A `{}` counts only after
    // the peer's whole banner: a peer whose session still runs sends many, with stray
    // banner bytes and marks among its data.
    bool leftover = !establish.peer_heard && !establish.got_block;
    bool stale_brace = !establish.banner_heard && !establish.got_block;
    if (p == CTRL_X && b == CTRL_X && !establish.got_block)
        link_fail("Initialization interrupted.", SEND_GOODBYE, NO_PAUSE);
    if (p == BRACE && b == TERMINATE && !leftover)
        link_fail("Initialization interrupted.", SEND_GOODBYE, NO_PAUSE);
    if (p == BRACE && b == FRAME_END && !stale_brace) {
        if (establish.got_block) {
            queue_confirmation();
            return 1;
        }
        establish.got_brace = 1;
        establish.collecting = 0;
        handshake_send_pass();
        return 0;
    }
    if (b == BLOCK_MARK) return block_mark();
    collect(b);
    return 0;
}

namespace {

// The poll loop of a handshake, until the link is up.
int handshake_loop() {
    for (;;) {
        clock_update();
        // Other keys are read and dropped: a key typed now must not act once the session runs.
        if (key_waiting() && read_console_key() == CTRL_C)
            link_fail("Initialization cancelled.", SEND_GOODBYE, NO_PAUSE);
        supervise();
        handshake_flush();
        uint8_t b = 0;
        if (port_read(&b, 1) == 1) {
            if (link_setup.handshake_echo) echo_byte(b);
            if (handshake_byte(b)) return handshake_finish();
        } else {
            port_want_write(establish.out_pos < establish.out_len);
            wait_for_input();
        }
        if (serial.clock - establish.pass_start > handshake_resend_s) handshake_send_pass();
    }
}

}  // namespace

int link_rehandshake(relink_reason why) {
    const uint8_t* banner = establish.banner;
    // A false link heard nobody: the silence goes on from before it.
    const time_t silence_from = why == RELINK_RESTARTED ? serial.clock : relink.up_rx_time;
    memcpy(link_setup.char_flags, link_setup.own_char_flags, sizeof link_setup.char_flags);
    reset_link_state(link_setup.initial_link_mode);
    codec.last_rx_time = silence_from;
    termination.carrier_seen_time = serial.clock;
    termination.last_check_clock = serial.clock;
    channels_restart();
    no_hangup_flag = 1;  // a hang-up before this one was the old link's
    establish = establish_state{};
    establish.banner = banner;
    // Our echo answers every copy at once: only the resend timer sends to it.
    establish.timer_only = why == RELINK_ECHO;
    build_handshake_block(link_setup.identification, link_setup.initial_link_mode);
    if (why == RELINK_ECHO)
        establish.pass_start = serial.clock;
    else
        handshake_send_pass();
    return handshake_loop();
}

int link_establish(const uint8_t* banner, uint8_t identification) {
    const int mode_word = link_setup.initial_link_mode;
    // Every later handshake starts from what the command line chose, not from what the
    // peer added to it.
    memcpy(link_setup.own_char_flags, link_setup.char_flags, sizeof link_setup.char_flags);
    link_setup.identification = identification;
    reset_link_state(mode_word);
    establish = establish_state{};
    establish.banner = banner;
    console_message("Initializing ZARN data link. Press Ctrl+C to cancel.\r\n");
    if (port_open(link_setup.device_path, link_setup.port_speed, link_setup.flow_letter) ==
        PORT_OPEN_FAILED) {
        console_error("Error initializing rs-port.\r\n");
        console_error(serial.open_error);
        end_run(EXIT_PORT_FAILED);
    }
    clock_update();
    codec.last_rx_time = serial.clock;
    supervise();

    build_handshake_block(identification, mode_word);
    handshake_send_pass();
    return handshake_loop();
}
