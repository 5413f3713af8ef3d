// Every record of the session protocol, built and parsed here and nowhere else: the opening
// block, offers, the answers to them and the other status letters, the verdict and digest
// in the data stream, requests.
//
// Interface summary:
//   build_opening (out, announced, opening) -> bytes of our opening block, at most OPENING_MAX
//   parse_opening (block) -> what a peer's first 4 bytes announce: nothing unless they are ours
//   both_features (own, peer) -> what a session uses: what both ends announced
//   offer_header_size (extended, trees) -> OFFER_HEADER_SIZE, EXTENDED_HEADER_SIZE or
//                        TREE_HEADER_SIZE
//   build_offer (out, room, offer, extended, trees) -> the record's length, 0 when it is over
//                        room
//   parse_offer (in, n, extended, &offer, trees) -> false for a record that is short, overlong
//                        (bytes past its name's NUL) or without its NUL; offer.name points
//                        into `in`
//   resume_size (extended) -> bytes that follow an "r": OFFSET_BYTES or EXTENDED_RESUME_BYTES
//   build_resume (out, resume, extended) -> resume_size;  parse_resume (in, extended) -> it
//   build_verdict (v) -> its byte;  parse_verdict (byte, &v) -> false for an unknown byte
//   build_digest_trailer (out, value);  parse_digest_trailer (in) -> value
//   build_probe (out, number) -> PROBE_SIZE;  parse_probe (digits, &number) -> false when one
//                        of the PROBE_DIGITS bytes is not a lower-case hex digit
//   build_request (out, room, name) -> the record's length, 0 when it is over room
//   parse_request (in, n) -> the name, or null when the record is short or overlong
// Numbers are little-endian; names end with a NUL.
#pragma once

#include <cstdint>

// Control message letters on channel 0.
constexpr uint8_t MSG_COLUMNS = 'C';     // one byte: the peer's screen columns
constexpr uint8_t MSG_LINES = 'L';       // one byte: the peer's screen lines (below 0: chat off)
constexpr uint8_t MSG_PROFILE = 'M';     // one byte: a link profile letter
constexpr uint8_t MSG_TEXT = 'P';        // text up to a NUL
constexpr uint8_t MSG_S = 'S';           // one byte, no effect
constexpr uint8_t MSG_YELL = 'Y';        // no argument: the peer wants attention
constexpr uint8_t MSG_SERVES = 'D';      // we serve download requests
constexpr uint8_t MSG_ACCEPTS = 'U';     // we accept offered files
constexpr uint8_t MSG_BEEPER = 'q';      // our beeper is on
constexpr uint8_t MSG_BEEPER_OFF = 'Q';  // our beeper is off
// PROBE_DIGITS lower-case hex digits: a random number of the sender's own, sent only to a
// peer that announced echo_check. Digits only, so no byte of it is a message letter.
constexpr uint8_t MSG_PROBE = 'N';
constexpr int PROBE_DIGITS = 16;
constexpr int PROBE_SIZE = 1 + PROBE_DIGITS;

// What an end announces in its opening block, and what a session uses: what both announced.
// A new feature: a flag here, its bit in records.cpp, and the code of the feature.
struct session_features {
    bool compress = false;  // each file's data travels as one zstd frame
    // Whole-file digests, extended offers and answers (64-bit sizes, offsets and times),
    // verified resume: the verdict and the digest trailer of the data stream (transfer.h).
    bool extended = false;
    // An offer larger than the free space is refused with its own letter, ST_NO_ROOM: a peer
    // that knows nothing of it would drop the letter and credit the next answer wrongly.
    bool no_room = false;
    // After an abort the sender says that files under way come again (ST_REOFFER), and the
    // receiver waits for them a bounded time before the session may end.
    bool reoffer = false;
    // Names are UTF-8 and travel as they are: any block of ours says so, without a bit. From
    // a peer without it (an old BBS) a name that is no UTF-8 is read as code page 437.
    bool utf8_names = false;
    // With `extended`: an offer carries its path in a tree ('/'-separated) and a flags byte
    // after the digest; a path ending in '/' is a directory record, answered "x" once the
    // directory stands.
    bool trees = false;
    // With `compress`: a direction's whole data stream (verdicts, data, digests) is one zstd
    // frame, flushed at each file's end, so a file refers to those before it (transfer.h).
    bool history = false;
    // Each end sends a probe (MSG_PROBE) once the other's opening block came; neither takes
    // the other for its peer before the other's probe came, and one's own coming back means
    // the line echoes.
    bool echo_check = false;
};

// Status letters on channel 1: the receiving side's answers to offers and requests, and the
// abort exchange.
constexpr uint8_t ST_ACCEPTED = 'u';        // offer taken whole
constexpr uint8_t ST_RESUMED = 'r';         // offer taken from an offset: 4 bytes follow
constexpr uint8_t ST_EXISTS = 'e';          // refused: the name is taken
constexpr uint8_t ST_DUPLICATE = 'i';       // refused: a file of that name is on its way
constexpr uint8_t ST_REFUSED = 'q';         // refused: no uploads taken, or a malformed offer
constexpr uint8_t ST_TOO_MANY = 't';        // refused: no name, or no memory, for it
constexpr uint8_t ST_HAVE_IT = 'x';         // refused: the file is here already
constexpr uint8_t ST_CONFIRMED = 'c';       // the oldest file in transit arrived whole
constexpr uint8_t ST_SERVED = 'd';          // request served: its files come as offers
constexpr uint8_t ST_NOT_FOUND = 'm';       // request found no file
constexpr uint8_t ST_DENIED = 'p';          // requests are not served
constexpr uint8_t ST_ABORT_UPLOAD = 'b';    // the sender gave up its uploads
constexpr uint8_t ST_ABORT_DOWNLOAD = 'a';  // the receiver gave up its downloads
constexpr uint8_t ST_ABORT_SEEN = 'o';      // the peer's "b" was acted on
// Extended only: the oldest file in transit arrived with bytes whose digest is not the
// sender's. Sent once more; a second time it ends failed at both ends (the final letter too).
constexpr uint8_t ST_CHECK_FAILED = 'v';
// `no_room` only: refused, the file does not fit the free space (the final letter too).
constexpr uint8_t ST_NO_ROOM = 'f';
// `reoffer` only, just before "b": files under way at this abort are offered again.
constexpr uint8_t ST_REOFFER = 'g';

// The rest of our opening block: control messages the peer mostly ignores.
struct opening_options {
    bool serves = false;   // "D": the peer's requests are served
    bool accepts = false;  // "U": its offers are accepted
    bool beeper = false;   // "q": our beeper is on
    int columns = 0;       // the screen's size, 0 without one
    int lines = 0;
};

constexpr int OPENING_BLOCK_SIZE = 4;
constexpr int OPENING_MAX = 16;

// The basic offer: DOS time, DOS date, signed 32-bit size, the name and its NUL. The extended
// one: 64-bit length, 64-bit modification time (seconds since the epoch), the 64-bit digest
// of the whole file, the name and its NUL.
constexpr int OFFER_HEADER_SIZE = 8;
constexpr int EXTENDED_HEADER_SIZE = 24;
// With `trees`: the extended header, then one byte of TREE_FLAG_* bits.
constexpr int TREE_HEADER_SIZE = EXTENDED_HEADER_SIZE + 1;
constexpr uint8_t TREE_FLAG_EXECUTABLE = 0x01;  // the owner may execute the file

struct offer_record {
    uint16_t time = 0;  // DOS time and date: the basic record's, or made from mtime
    uint16_t date = 0;
    int64_t length = 0;
    int64_t mtime = -1;
    uint64_t digest = 0;  // extended only: XXH3 of the whole file
    const char* name = "";
    bool timed = false;  // mtime holds a time (any, before 1970 too): a basic one may name none
    bool executable = false;  // trees only: TREE_FLAG_EXECUTABLE
};

// After "r": the basic 32-bit offset; or the extended 64-bit offset, the 64-bit digest of the
// first `offset` bytes the receiver holds, and one byte: what it takes when they are not the
// sender's.
constexpr int OFFSET_BYTES = 4;
constexpr int EXTENDED_RESUME_BYTES = 17;

enum class resume_or : uint8_t {
    nothing = 0,  // the file ends 'e' at both ends, no byte of it sent
    whole = 1,    // the whole file, from its first byte
};

struct resume_answer {
    int64_t offset = 0;
    uint64_t digest = 0;  // extended only
    resume_or otherwise = resume_or::nothing;
};

// The byte before a file's data after an extended "r".
enum class data_verdict : uint8_t {
    resume = 'R',  // the first bytes match: the data from the offset follow
    whole = 'W',   // they do not: the whole file follows
    none = 'N',    // they do not, and the receiver takes nothing else
};

constexpr int DIGEST_TRAILER_SIZE = 8;

int build_opening(uint8_t* out, const session_features& announced, const opening_options& opening);
session_features parse_opening(const uint8_t* block);
session_features both_features(const session_features& own, const session_features& peer);
int offer_header_size(bool extended, bool trees = false);
int build_offer(uint8_t* out, int room, const offer_record& offer, bool extended,
                bool trees = false);
bool parse_offer(const uint8_t* in, int n, bool extended, offer_record* offer, bool trees = false);
int resume_size(bool extended);
int build_resume(uint8_t* out, const resume_answer& resume, bool extended);
resume_answer parse_resume(const uint8_t* in, bool extended);
uint8_t build_verdict(data_verdict v);
bool parse_verdict(uint8_t byte, data_verdict* v);
void build_digest_trailer(uint8_t* out, uint64_t value);
uint64_t parse_digest_trailer(const uint8_t* in);
int build_probe(uint8_t* out, uint64_t number);
bool parse_probe(const uint8_t* digits, uint64_t* number);
int build_request(uint8_t* out, int room, const char* name);
const char* parse_request(const uint8_t* in, int n);
