#include "session/records.h"

#include <climits>
#include <cstring>

#include "files/entries.h"

namespace {

// The opening block of an end that knows more: a magic value, capability bits, and a check
// byte over the three. Any other block (all zero, say) announces nothing.
constexpr uint8_t OPENING_MAGIC_HIGH = 0x4B;  // 'K'
constexpr uint8_t OPENING_MAGIC_LOW = 0xDA;
constexpr uint8_t OPENING_CHECK_XOR = 0x5A;  // the check byte: the three XORed, then this

// The capability bits: 8 exist, each used only when both opening blocks announced it. A new
// feature takes a free bit here and a flag in session_features; nothing else names a bit.
constexpr uint8_t CAP_COMPRESS = 0x01;
constexpr uint8_t CAP_EXTENDED = 0x02;
constexpr uint8_t CAP_NO_ROOM = 0x04;
constexpr uint8_t CAP_REOFFER = 0x08;
constexpr uint8_t CAP_TREES = 0x10;
constexpr uint8_t CAP_HISTORY = 0x20;
constexpr uint8_t CAP_ECHO_CHECK = 0x80;
// 0x40: free.

uint8_t opening_check(const uint8_t* block) {
    return static_cast<uint8_t>(block[0] ^ block[1] ^ block[2] ^ OPENING_CHECK_XOR);
}

void write_le(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t read_le(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
    return value;
}

// A NUL-ended name filling in[from, n): exactly one NUL, the last byte.
const char* name_at(const uint8_t* in, int from, int n) {
    if (n <= from || memchr(in + from, 0, static_cast<size_t>(n - from)) != in + n - 1)
        return nullptr;
    return reinterpret_cast<const char*>(in + from);
}

}  // namespace

int build_opening(uint8_t* out, const session_features& announced, const opening_options& opening) {
    // All zero without a capability: then the peer sees what a plain peer sends.
    const uint8_t caps =
        (announced.compress ? CAP_COMPRESS : 0) | (announced.extended ? CAP_EXTENDED : 0) |
        (announced.no_room ? CAP_NO_ROOM : 0) | (announced.reoffer ? CAP_REOFFER : 0) |
        (announced.trees ? CAP_TREES : 0) | (announced.history ? CAP_HISTORY : 0) |
        (announced.echo_check ? CAP_ECHO_CHECK : 0);
    memset(out, 0, OPENING_BLOCK_SIZE);
    if (caps != 0) {
        out[0] = OPENING_MAGIC_HIGH;
        out[1] = OPENING_MAGIC_LOW;
        out[2] = caps;
        out[3] = opening_check(out);
    }
    int n = OPENING_BLOCK_SIZE;
    if (opening.serves) out[n++] = MSG_SERVES;
    if (opening.accepts) out[n++] = MSG_ACCEPTS;
    if (opening.beeper) out[n++] = MSG_BEEPER;
    out[n++] = MSG_S;
    out[n++] = MSG_LINES;  // the argument of "S", skipped by the receiver
    out[n++] = MSG_COLUMNS;
    out[n++] = static_cast<uint8_t>(opening.columns);
    out[n++] = MSG_LINES;
    out[n++] = static_cast<uint8_t>(opening.lines);
    return n;
}

session_features parse_opening(const uint8_t* block) {
    if (block[0] != OPENING_MAGIC_HIGH || block[1] != OPENING_MAGIC_LOW ||
        block[3] != opening_check(block))
        return {};
    return {.compress = (block[2] & CAP_COMPRESS) != 0,
            .extended = (block[2] & CAP_EXTENDED) != 0,
            .no_room = (block[2] & CAP_NO_ROOM) != 0,
            .reoffer = (block[2] & CAP_REOFFER) != 0,
            .utf8_names = true,
            .trees = (block[2] & CAP_TREES) != 0,
            .history = (block[2] & CAP_HISTORY) != 0,
            .echo_check = (block[2] & CAP_ECHO_CHECK) != 0};
}

session_features both_features(const session_features& own, const session_features& peer) {
    // Trees ride on the extended offer, the history on compression.
    bool compress = own.compress && peer.compress;
    bool extended = own.extended && peer.extended;
    return {.compress = compress,
            .extended = extended,
            .no_room = own.no_room && peer.no_room,
            .reoffer = own.reoffer && peer.reoffer,
            .utf8_names = own.utf8_names && peer.utf8_names,
            .trees = extended && own.trees && peer.trees,
            .history = compress && own.history && peer.history,
            .echo_check = own.echo_check && peer.echo_check};
}

int offer_header_size(bool extended, bool trees) {
    if (!extended) return OFFER_HEADER_SIZE;
    return trees ? TREE_HEADER_SIZE : EXTENDED_HEADER_SIZE;
}

int build_offer(uint8_t* out, int room, const offer_record& offer, bool extended, bool trees) {
    const int header = offer_header_size(extended, trees);
    size_t length = strlen(offer.name);
    if (length + 1 > static_cast<size_t>(room - header)) return 0;
    if (extended) {
        write_le(out, static_cast<uint64_t>(offer.length), 8);
        write_le(out + 8, static_cast<uint64_t>(offer.mtime), 8);
        write_le(out + 16, offer.digest, 8);
        if (trees) out[EXTENDED_HEADER_SIZE] = offer.executable ? TREE_FLAG_EXECUTABLE : 0;
    } else {
        // The basic size is signed 32-bit: a longer file is never offered with it.
        int64_t size = offer.length > INT32_MAX ? INT32_MAX : offer.length;
        write_le(out, offer.time, 2);
        write_le(out + 2, offer.date, 2);
        write_le(out + 4, static_cast<uint64_t>(size), 4);
    }
    memcpy(out + header, offer.name, length + 1);
    return header + static_cast<int>(length) + 1;
}

bool parse_offer(const uint8_t* in, int n, bool extended, offer_record* offer, bool trees) {
    const int header = offer_header_size(extended, trees);
    const char* name = name_at(in, header, n);
    if (name == nullptr) return false;
    offer->name = name;
    offer->digest = 0;
    offer->executable = extended && trees && (in[EXTENDED_HEADER_SIZE] & TREE_FLAG_EXECUTABLE) != 0;
    if (!extended) {
        offer->time = static_cast<uint16_t>(read_le(in, 2));
        offer->date = static_cast<uint16_t>(read_le(in + 2, 2));
        offer->length = static_cast<int32_t>(read_le(in + 4, 4));
        offer->mtime = dos_to_time(offer->date, offer->time);
        offer->timed = offer->mtime != -1;  // -1: a field out of range, never a DOS time
        return true;
    }
    offer->length = static_cast<int64_t>(read_le(in, 8));
    offer->mtime = static_cast<int64_t>(read_le(in + 8, 8));
    offer->timed = true;  // any time, before 1970 too
    offer->digest = read_le(in + 16, 8);
    offer->time = dos_time(offer->mtime);
    offer->date = dos_date(offer->mtime);
    return true;
}

int resume_size(bool extended) { return extended ? EXTENDED_RESUME_BYTES : OFFSET_BYTES; }

int build_resume(uint8_t* out, const resume_answer& resume, bool extended) {
    if (!extended) {
        write_le(out, static_cast<uint64_t>(resume.offset), OFFSET_BYTES);
        return OFFSET_BYTES;
    }
    write_le(out, static_cast<uint64_t>(resume.offset), 8);
    write_le(out + 8, resume.digest, 8);
    out[16] = static_cast<uint8_t>(resume.otherwise);
    return EXTENDED_RESUME_BYTES;
}

resume_answer parse_resume(const uint8_t* in, bool extended) {
    if (!extended) return {.offset = static_cast<int32_t>(read_le(in, OFFSET_BYTES))};
    // Any byte but "whole" takes nothing: the safe reading of one we do not know.
    resume_or otherwise =
        in[16] == static_cast<uint8_t>(resume_or::whole) ? resume_or::whole : resume_or::nothing;
    return {static_cast<int64_t>(read_le(in, 8)), read_le(in + 8, 8), otherwise};
}

uint8_t build_verdict(data_verdict v) { return static_cast<uint8_t>(v); }

bool parse_verdict(uint8_t byte, data_verdict* v) {
    *v = static_cast<data_verdict>(byte);
    return *v == data_verdict::resume || *v == data_verdict::whole || *v == data_verdict::none;
}

void build_digest_trailer(uint8_t* out, uint64_t value) {
    write_le(out, value, DIGEST_TRAILER_SIZE);
}

uint64_t parse_digest_trailer(const uint8_t* in) { return read_le(in, DIGEST_TRAILER_SIZE); }

int build_request(uint8_t* out, int room, const char* name) {
    size_t length = strlen(name) + 1;
    if (length > static_cast<size_t>(room)) return 0;
    memcpy(out, name, length);
    return static_cast<int>(length);
}

const char* parse_request(const uint8_t* in, int n) { return name_at(in, 0, n); }

int build_probe(uint8_t* out, uint64_t number) {
    static const char digits[] = "0123456789abcdef";
    out[0] = MSG_PROBE;
    for (int i = 0; i < PROBE_DIGITS; ++i)
        out[1 + i] = static_cast<uint8_t>(digits[(number >> (4 * (PROBE_DIGITS - 1 - i))) & 0xF]);
    return PROBE_SIZE;
}

bool parse_probe(const uint8_t* digits, uint64_t* number) {
    uint64_t value = 0;
    for (int i = 0; i < PROBE_DIGITS; ++i) {
        const uint8_t d = digits[i];
        if (d >= '0' && d <= '9')
            value = value << 4 | static_cast<uint64_t>(d - '0');
        else if (d >= 'a' && d <= 'f')
            value = value << 4 | static_cast<uint64_t>(d - 'a' + 10);
        else
            return false;
    }
    *number = value;
    return true;
}
