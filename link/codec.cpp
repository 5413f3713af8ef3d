#include "link/codec.h"

#include <array>
#include <cstring>

#include "link/failure.h"
#include "link/setup.h"
#include "serial/port.h"

codec_state codec;
void (*raw_watch)(const uint8_t* bytes, int n) = nullptr;

namespace {

constexpr int B85_GROUP_BYTES = 4;
constexpr int B85_GROUP_DIGITS = 5;
constexpr int GROUP_7BIT = 7;        // data bytes sharing one 7-bit header
constexpr int interrupt_ctrl_x = 3;  // count above this when a Ctrl-X comes: give up
constexpr time_t idle_brace_s = 1;   // a frame after a longer idle line starts with `{}`
constexpr uint16_t crc_polynomial = 0x1021;

constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = static_cast<uint16_t>((reg & 0x8000) ? (reg << 1) ^ crc_polynomial : reg << 1);
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

// crc_slices[k][b]: the register after byte b and k zero bytes, from a zero register. Eight
// bytes at a time through these tables, not one: the same register at a fraction of the work.
constexpr int crc_slice_bytes = 8;
constexpr std::array<std::array<uint16_t, 256>, crc_slice_bytes> make_crc_slices() {
    std::array<std::array<uint16_t, 256>, crc_slice_bytes> slices{};
    slices[0] = make_crc_table();
    for (int k = 1; k < crc_slice_bytes; ++k)
        for (int b = 0; b < 256; ++b) {
            uint16_t prev = slices[k - 1][b];
            slices[k][b] = static_cast<uint16_t>((prev << 8) ^ slices[0][prev >> 8]);
        }
    return slices;
}

constexpr auto crc_slices = make_crc_slices();

// ---------------------------------------------------------------- transmit

// The escape stage. With MODE_ESC_OUT flagged bytes travel as `{` and the byte XOR 0x20;
// plain, a data `{` stays raw unless the next byte would complete a control sequence.
struct emitter {
    uint8_t* out;
    bool escaping;
    int brace;

    void put(uint8_t b) {
        if (escaping) {
            if (link_setup.char_flags[b] != 0) {
                *out++ = BRACE;
                *out++ = b ^ ESCAPE_XOR;
            } else {
                *out++ = b;
            }
            return;
        }
        if (brace && (b == INTERRUPT || b == TERMINATE || b == FRAME_END || b == DATA_BRACE))
            *out++ = DATA_BRACE;
        brace = b == BRACE;
        *out++ = b;
    }
};

// Base-85: k bytes (1 to 4) as one big-endian number in k+1 digits, most significant first.
uint8_t* encode_b85(uint8_t* out, const uint8_t* close, const uint8_t*& pos, const uint8_t* end) {
    while (out < close && pos < end) {
        int k = end - pos < B85_GROUP_BYTES ? static_cast<int>(end - pos) : B85_GROUP_BYTES;
        uint32_t v = 0;
        for (int i = 0; i < k; ++i) v = (v << 8) | pos[i];
        pos += k;
        for (int d = k; d >= 0; --d) {
            out[d] = static_cast<uint8_t>(v % 85 + B85_FIRST);
            v /= 85;
        }
        out += k + 1;
    }
    return out;
}

// 7-bit groups: a header carrying the top bits of the next seven bytes, then the bytes
// with their top bit cleared. Header bits past the end of the frame are sent as 0.
void encode_7bit(emitter& e, const uint8_t* close, const uint8_t*& pos, const uint8_t* end) {
    int left = codec.pack_left;
    while (e.out < close && pos < end) {
        if (left == 0) {
            int avail = end - pos < GROUP_7BIT ? static_cast<int>(end - pos) : GROUP_7BIT;
            uint8_t header = 0;
            for (int i = 0; i < avail; ++i)
                header |= static_cast<uint8_t>((pos[i] >> 7) << (6 - i));
            e.put(header ^ HEADER_XOR);
            left = GROUP_7BIT;
        } else {
            e.put(*pos++ & 0x7F);
            --left;
        }
    }
    codec.pack_left = left;
}

// Fills the chunk that starts at tx_chunk + start, after its first `used` bytes, from the
// frame being encoded, until it holds CHUNK_CLOSE_AT bytes or more or the frame is
// exhausted; returns the end of the chunk as an offset in tx_chunk.
int encode_chunk(int start, int used) {
    uint8_t* chunk = codec.tx_chunk + start;
    const uint8_t* close = chunk + CHUNK_CLOSE_AT;
    const uint8_t* pos = codec.tx_pos;
    const uint8_t* end = codec.tx_end;
    emitter e{chunk + used, (codec.link_mode & MODE_ESC_OUT) != 0, codec.brace_flag};
    if (codec.lead_mark) {
        *e.out++ = BRACE;
        *e.out++ = PRINTABLE_MARK;
        codec.lead_mark = 0;
    }
    if ((codec.link_mode & MODE_B85_OUT) || codec.frame_printable) {
        e.out = encode_b85(e.out, close, pos, end);
    } else if (codec.link_mode & MODE_7BIT_OUT) {
        encode_7bit(e, close, pos, end);
    } else {
        while (e.out < close && pos < end) e.put(*pos++);
    }
    codec.brace_flag = e.brace;
    codec.tx_pos = codec.tx_frame + (pos - codec.tx_frame);
    // The frame's closing `{}` rides in the same write when it fits.
    if (pos == end && e.out + 2 <= chunk + CHUNK_SIZE) {
        *e.out++ = BRACE;
        *e.out++ = FRAME_END;
        codec.end_sent = 1;
    }
    return static_cast<int>(e.out - codec.tx_chunk);
}

// Encodes chunks into tx_chunk while frames come, up to gather_chunks of them; returns
// the bytes gathered. A frame is built only when a chunk of it can go into this write,
// so its acknowledgements are as fresh as the line allows.
int gather_chunks() {
    const int limit = codec.gather_chunks * CHUNK_SIZE;
    int used = 0;
    for (;;) {
        if (codec.tx_pos != nullptr && codec.tx_pos < codec.tx_end) {
            if (used + CHUNK_SIZE > limit) return used;
            int start = used;
            int lead = 0;
            if (codec.lead_brace) {
                codec.tx_chunk[start + lead++] = BRACE;
                codec.tx_chunk[start + lead++] = FRAME_END;
                codec.lead_brace = 0;
            }
            used = encode_chunk(start, lead);
            codec.last_tx_time = serial.clock;
            continue;
        }
        if (codec.tx_pos != nullptr && !codec.end_sent) {
            if (used + 2 > limit) return used;
            codec.tx_chunk[used++] = BRACE;
            codec.tx_chunk[used++] = FRAME_END;
            codec.end_sent = 1;
        }
        if (used + CHUNK_SIZE > limit) return used;
        uint8_t* end = frame_source();
        if (end == nullptr) {
            codec.tx_pos = nullptr;
            codec.tx_end = nullptr;
            return used;
        }
        codec.tx_pos = codec.tx_frame;
        codec.tx_end = end;
        codec.pack_left = 0;
        codec.brace_flag = 0;
        codec.end_sent = 0;
        codec.frame_printable = codec.lead_mark = codec.send_printable;
        // A frame after an idle line is preceded by `{}`; anything before it in this
        // write was encoded just now, so the line is not idle then.
        codec.lead_brace = used == 0 && serial.clock - codec.last_tx_time > idle_brace_s;
    }
}

// Offers the pending bytes to the port once; true when nothing is left pending.
// A failed write (the line takes nothing now) keeps everything for the next step.
bool write_pending() {
    int n = port_write(codec.pending, codec.pending_count);
    if (n > 0) {
        codec.pending += n;
        codec.pending_count -= n;
    }
    // Gather more only while the line takes whole writes: a slow line gets one chunk at a
    // time, so our acknowledgements never wait behind much of our own data.
    if (codec.pending_count == 0)
        codec.gather_chunks =
            codec.gather_chunks * 2 > GATHER_CHUNKS ? GATHER_CHUNKS : codec.gather_chunks * 2;
    else
        codec.gather_chunks = 1;
    port_want_write(codec.pending_count > 0);
    return codec.pending_count == 0;
}

// ---------------------------------------------------------------- receive

void store(uint8_t x) { codec.rx_frame[codec.rx_pos++] = x; }

void store_b85_bytes(uint32_t value, int count) {
    if (codec.rx_pos + count > FRAME_BUFFER_SIZE) return;  // cannot happen: abandoned before
    for (int i = count - 1; i >= 0; --i) store(static_cast<uint8_t>(value >> (8 * i)));
}

// The receive mode of the frame being decoded: a frame opened by `{{` is base-85.
int rx_mode() { return codec.link_mode | (codec.rx_printable ? MODE_B85_IN : 0); }

void decode(uint8_t x) {
    const int mode = rx_mode();
    if (mode & MODE_B85_IN) {
        if (x < B85_FIRST || x > B85_LAST) return;  // blanks, line ends, noise
        codec.accumulator = codec.accumulator * 85 + (x - B85_FIRST);
        if (++codec.group_count == B85_GROUP_DIGITS) {
            store_b85_bytes(codec.accumulator, B85_GROUP_BYTES);
            codec.group_count = 0;
            codec.accumulator = 0;
        }
    } else if (mode & MODE_7BIT_IN) {
        if (codec.group_count == 0) {
            codec.high_bits = x ^ HEADER_XOR;
            codec.group_count = GROUP_7BIT;
        } else {
            codec.high_bits = static_cast<uint8_t>(codec.high_bits << 1);
            store(x | (codec.high_bits & 0x80));
            --codec.group_count;
        }
    } else {
        store(x);
    }
}

void restart_frame(int in_frame) {
    codec.in_frame = in_frame;
    codec.rx_pos = 0;
}

void end_of_frame() {
    if (codec.in_frame) {
        // A short last base-85 group of n digits carries n-1 bytes.
        if ((rx_mode() & MODE_B85_IN) && codec.group_count >= 2)
            store_b85_bytes(codec.accumulator, codec.group_count - 1);
        frame_sink(codec.rx_frame + codec.rx_pos);
    }
    codec.rx_printable = 0;
    if (codec.link_interrupted != 0) {
        codec.last_rx_time = serial.clock;
        codec.link_interrupted = 0;
    }
    codec.group_count = 0;
    codec.accumulator = 0;
    restart_frame(1);
}

// Handles the partner byte at raw[i] of a `{`; returns the index of the next byte to read.
int control(int i) {
    uint8_t d = codec.rx_raw[i];
    switch (d) {
    case INTERRUPT:
        codec.link_interrupted = 1;
        restart_frame(0);
        return i + 1;
    case TERMINATE:
        // Right after a frame end it is the peer's goodbye: nothing after it is decoded.
        if (codec.in_frame && codec.rx_pos == 0) codec.peer_goodbye = 1;
        restart_frame(0);
        return i + 1;
    case FRAME_END: end_of_frame(); return i + 1;
    case DATA_BRACE: decode(BRACE); return i + 1;
    case PRINTABLE_MARK:
        if (!codec.printable_marks) break;
        // It opens the frame: anything before it in this frame was noise.
        codec.rx_printable = 1;
        codec.rx_pos = 0;
        codec.group_count = 0;
        codec.accumulator = 0;
        return i + 1;
    default: break;
    }
    if (codec.link_mode & MODE_ESC_IN) {
        decode(d ^ ESCAPE_XOR);
        return i + 1;
    }
    decode(BRACE);  // a plain data `{`; d is a byte of its own
    return i;
}

// 8-bit input: copies the run of ordinary bytes from raw[i] on into the frame at once, not
// byte by byte (the copy stops where the frame would have to be abandoned); returns the
// index of the first byte that needs a look of its own.
int copy_plain_run(int i, int n, bool dropping) {
    int stop = n - i < FRAME_ABANDON_AT - codec.rx_pos ? n : i + FRAME_ABANDON_AT - codec.rx_pos;
    int j = i;
    while (j < stop && codec.rx_raw[j] != BRACE &&
           !(dropping && (link_setup.char_flags[codec.rx_raw[j]] & CF_DROP)))
        ++j;
    if (j > i) {
        memcpy(codec.rx_frame + codec.rx_pos, codec.rx_raw + i, static_cast<size_t>(j - i));
        codec.rx_pos += j - i;
    }
    return j;
}

void decode_read(int n) {
    int i = 0;
    if (codec.pending_brace) {
        codec.pending_brace = 0;
        i = control(0);
    }
    const bool dropping = (codec.link_mode & MODE_ESC_IN) != 0;
    while (i < n && codec.peer_goodbye == 0) {
        const bool plain = (rx_mode() & (MODE_B85_IN | MODE_7BIT_IN)) == 0;
        if (plain && codec.link_interrupted == 0) {
            i = copy_plain_run(i, n, dropping);
            if (i == n) break;
        }
        if (codec.rx_pos >= FRAME_ABANDON_AT) restart_frame(0);
        uint8_t b = codec.rx_raw[i];
        if (codec.link_interrupted != 0) {
            if (b == CTRL_X) {
                if (codec.link_interrupted++ > interrupt_ctrl_x)
                    link_fail("ZARN data link interrupted.", SEND_GOODBYE, PAUSE_AFTER);
                i += 2;  // the byte after a counted Ctrl-X is not examined
                continue;
            }
            codec.link_interrupted = 1;
        }
        if (b == BRACE) {
            if (i + 1 == n) {
                codec.pending_brace = 1;
                return;
            }
            i = control(i + 1);
            continue;
        }
        ++i;
        if (dropping && (link_setup.char_flags[b] & CF_DROP)) continue;
        decode(b);
    }
}

}  // namespace

uint16_t crc16(const uint8_t* first, const uint8_t* end) {
    uint16_t reg = 0xFFFF;
    const uint8_t* p = first;
    for (; end - p >= crc_slice_bytes; p += crc_slice_bytes) {
        // The register meets the first two bytes; the other six start from zero.
        unsigned x = reg ^ (static_cast<unsigned>(p[0]) << 8 | p[1]);
        reg =
            static_cast<uint16_t>(crc_slices[7][x >> 8] ^ crc_slices[6][x & 0xFF] ^
                                  crc_slices[5][p[2]] ^ crc_slices[4][p[3]] ^ crc_slices[3][p[4]] ^
                                  crc_slices[2][p[5]] ^ crc_slices[1][p[6]] ^ crc_slices[0][p[7]]);
    }
    for (; p < end; ++p) reg = static_cast<uint16_t>((reg << 8) ^ crc_table[(reg >> 8) ^ *p]);
    return reg;
}

void link_transmit() {
    for (;;) {
        if (codec.pending_count > 0 && !write_pending()) return;
        int used = gather_chunks();
        if (used == 0) {
            port_want_write(false);
            return;
        }
        codec.pending = codec.tx_chunk;
        codec.pending_count = used;
    }
}

void link_receive() {
    while (codec.peer_goodbye == 0) {
        int n = port_read(codec.rx_raw, READ_SIZE);
        if (n <= 0) return;
        if (raw_watch != nullptr) raw_watch(codec.rx_raw, n);
        decode_read(n);
        // A read that did not fill the buffer emptied the line: asking again would only
        // cost a system call. What arrives meanwhile waits for the next pump.
        if (n < READ_SIZE) return;
    }
}

void codec_flush_pending() {
    constexpr int flush_bound_s = 2;  // nothing supervises the line any more
    if (codec.pending_count > 0) port_write_all(codec.pending, codec.pending_count, flush_bound_s);
    codec.pending_count = 0;
    port_want_write(false);
}

void link_suspend() {
    static const uint8_t interruption[] = {BRACE, FRAME_END, BRACE, INTERRUPT};
    constexpr int bound_s = 2;  // the user asked to stop now
    int left = codec.pending_count;
    int taken = left > 0 ? port_write_all(codec.pending, left, bound_s) : 0;
    codec.pending_count = 0;
    port_want_write(false);
    // A frame all out but for its `{}` gets it. Else the peer drops what it has of the frame
    // at `{z`, and its blocks go again after enquiries.
    bool frame_whole = codec.tx_pos != nullptr && codec.tx_pos == codec.tx_end && !codec.end_sent;
    codec.tx_pos = nullptr;
    codec.tx_end = nullptr;
    // A write cut short may have left a lone `{` that would take the `{` of `{z` as its
    // partner: a frame boundary first keeps `{z` whole.
    bool boundary = frame_whole || taken != left;
    port_write_all(boundary ? interruption : interruption + 2, boundary ? 4 : 2, bound_s);
}

void link_resume() {
    static const uint8_t frame_end[] = {BRACE, FRAME_END};
    constexpr int bound_s = 2;
    clock_update();
    port_write_all(frame_end, 2, bound_s);
    codec.last_tx_time = serial.clock;
    // The peer said nothing while we were stopped because we asked it to.
    codec.last_rx_time = serial.clock;
}

void codec_printable_marks(bool on) { codec.printable_marks = on; }

void codec_send_printable() { codec.send_printable = 1; }
