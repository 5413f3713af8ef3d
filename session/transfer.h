// What the two sides of the file transfer share: the options, the status letters, the
// figures, the stream of file data each side moves, and the finished entries.
//
// Interface summary:
//   session                      the options the command line chose for the transfers
//   set_idle_exit (seconds)      -E: the session ends by itself after that long idle
//   set_session_option (option, value)  one of the command line's switches of session_options
//   auto_exit_on ()              true when the session ends by itself
//   activity                     when a transfer last moved, for the end of the session
//   note_activity ()             an offer was accepted, either way
//   finished_queue               entries with a final status letter, shown and freed by stats
//   finish_entry (entry, letter) sets the letter and appends the entry to finished_queue
//   write_status_letter (letter) one byte into send channel 1 (callers checked the room)
//   figure_add (figure, amount)  a 32-bit figure moved by amount, wrapping
//   run_stream (stream, steps, start_next)   a side's turn: the step of the current file's
//                                phase while steps move (PIECES_PER_CYCLE at most), then the
//                                next file when one is done
//   piece_size (stream)          bytes of the next piece: the slice's rest or the file's
//   piece_moved (stream, n)      n bytes of file data moved through the data channels: both
//                                of the next two
//   slice_moved (stream, n)      n bytes of the data stream moved through the data channels;
//                                a full slice moves on to the next data channel
//   file_moved (stream, n)       n bytes of the file counted in the figures
//   stream_accept (stream, entry, offset)  an accepted file counted in the figures
//   stream_uncount (stream, entry)  an accepted file no longer counted in the batch's totals
//   stream_closed (stream)       the current file's descriptor closed, its figures cleared
//   stream_restart (stream)      after an abort: the data channels from the first again,
//                                nothing of the batch left
//   announce (caps)              what our opening block announces (none: all zero, as a
//                                peer that knows nothing of them sends)
//   peer_announced (caps)        the peer's opening block came, announcing these
//   peer_opened ()               it came: offers may be sent and decided, both ways
//   both_announced (cap)         the capability is used: both blocks announced it
//   trees_agreed (), history_agreed ()  CAP_TREES (with CAP_EXTENDED) and CAP_HISTORY (with
//                                CAP_COMPRESS) are used
//   write_le64 (out, value), read_le64 (bytes)  the 64-bit numbers of the extended records
//   apply_times_on ()            a confirmed file gets the offer's modification time
//
// The data stream of one direction is file after file, cut into slices: 1,024 bytes to
// channel 16, the next 1,024 to 17 and so on, back to 16 after 31; a file's bytes run on in
// the slice where the previous file's ended. What one file puts into it:
//
//   [verdict]  1 byte, only after an extended "r" (both ends announced CAP_EXTENDED): whether
//              the receiver's first `offset` bytes are the sender's (VERDICT_*)
//   [data]     the file's bytes from the offset (0 after VERDICT_WHOLE) to its end: raw, or
//              one zstd frame while both ends announced CAP_COMPRESS; none when that is empty
//   [digest]   8 bytes, little-endian, outside any frame, only while both ends announced
//              CAP_EXTENDED: XXH3 of the whole file, [0, length), as its offer carried it
//              (read whole before the offer), complemented when the file was not the same
//              (inode, size, modification and change time) after its last byte as when it
//              was offered
//
// VERDICT_NONE ends the file there: no data, no digest. Nothing else marks where a file
// ends: its length and offset say so. The verdict and the digest may span two slices; an
// abort (the peer's "b", our own) drops the stream whole, and each side's parse of it (the
// phase, the digest bytes so far, the bytes read past a frame's end) starts afresh.
#pragma once

#include <cstdint>
#include <ctime>

#include "files/digest.h"
#include "files/entries.h"
#include "files/tree.h"
#include "session/plan.h"

// Set by the command line.
struct session_options {
    int accept_uploads = 1;      // 0: every offered file is refused
    int resume_check = 1;        // 0: no resuming of shorter files, no "already transferred"
    int rename_existing = 0;     // store an offered file whose name exists under a new name
    int overwrite_existing = 0;  // delete an existing file of an offered name and receive anew
    int delete_partial = 0;      // delete an incompletely received file when it is closed
    int delete_sent = 0;         // delete a sent file once the peer has it
    int log_refusals = 0;        // log lines for refused and failed files too
    int serve_requests = 0;      // serve the peer's download requests
    int compress = 1;            // --no-compress: 0, file data is never compressed
    int extended = 1;            // CAP_EXTENDED announced (test builds may clear it)
    int apply_times = -1;        // --times 1, --no-times 0; -1: as the mode has it (device mode on)
    int32_t idle_exit_seconds = 0;  // -E
    int32_t chat_idle_seconds = 0;  // -e
    int auto_exit_flags = 0;        // AUTO_EXIT_* bits; not 0: the session ends by itself
};

constexpr int AUTO_EXIT_IDLE = 1;  // -E: idle_exit_seconds without transfer activity
constexpr int AUTO_EXIT_CHAT = 2;  // -e: chat_idle_seconds without a local chat line

extern session_options session;

// When a transfer last moved, for the end of the session.
struct activity_state {
    time_t last_activity_time = 0;  // an offer accepted, or a file still moving
    int activity_seen = 0;          // an offer was accepted this run, either way
};

extern activity_state activity;

// Capabilities beyond the basic protocol's, each used only when both opening blocks announced it.
constexpr uint8_t CAP_COMPRESS = 0x01;  // each file's data travels as one zstd frame
// Whole-file digests, extended offers and answers (64-bit sizes, offsets and times), verified
// resume: see the stream layout above and the records below.
constexpr uint8_t CAP_EXTENDED = 0x02;
// With CAP_EXTENDED: an offer carries the file's path relative to the tree it belongs to
// ('/'-separated) and a flags byte (TREE_FLAG_*) after the digest; a path ending in '/' is a
// directory record, answered "x" once the directory stands.
constexpr uint8_t CAP_TREES = 0x04;
// With CAP_COMPRESS: a direction's whole data stream (verdicts, data, digests) is one zstd
// frame, flushed at each file's end, so a file refers to those before it; the frame ends at
// an abort (both ends start afresh after the abort exchange) or at a step down of the level
// (the next frame follows at once, with nothing before it).
constexpr uint8_t CAP_HISTORY = 0x08;
constexpr uint8_t TREE_FLAG_EXECUTABLE = 0x01;  // the owner may execute the file

// The extended offer record on channel 2: 64-bit length, 64-bit modification time (seconds
// since the epoch), the 64-bit digest of the whole file, all little-endian, then the name
// and its NUL. The extended "r" answer: the 64-bit offset, the 64-bit digest of the first
// `offset` bytes the receiver holds, and one RESUME_OR_* byte: what it takes when they are
// not the sender's.
constexpr int EXTENDED_HEADER_SIZE = 24;
constexpr int EXTENDED_RESUME_BYTES = 17;
constexpr uint8_t RESUME_OR_NOTHING = 0;  // the file ends 'e' at both ends, no byte of it sent
constexpr uint8_t RESUME_OR_WHOLE = 1;    // the whole file, from its first byte

// Verdicts, the byte before a file's data after an extended "r".
constexpr uint8_t VERDICT_RESUME = 'R';  // the first bytes match: the data from the offset follow
constexpr uint8_t VERDICT_WHOLE = 'W';   // they do not: the whole file follows
constexpr uint8_t VERDICT_NONE = 'N';    // they do not, and the receiver takes nothing else

// What a receiver does with a name that is taken (the file's taken_rule).
constexpr uint8_t TAKEN_REFUSE = 0;   // "e"
constexpr uint8_t TAKEN_REPLACE = 1;  // -o: received under a temporary name, renamed over at "c"
constexpr uint8_t TAKEN_RENAME = 2;   // -R: stored as NAME.n

struct announcement_state {
    uint8_t own_caps = 0;      // what our opening block announces
    uint8_t peer_caps = 0;     // what the peer's announced
    bool peer_opened = false;  // the peer's opening block has come
};

extern announcement_state announcement;

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
// CAP_EXTENDED only: the oldest file in transit arrived with bytes whose digest is not the
// sender's. Sent once more; a second time it ends failed at both ends (the final letter too).
constexpr uint8_t ST_CHECK_FAILED = 'v';

// Final letters of entries, never on the wire.
constexpr uint8_t ST_UPLOAD_ABORTED = '0';
constexpr uint8_t ST_READ_ERROR = '1';
constexpr uint8_t ST_OPEN_ERROR = '2';
constexpr uint8_t ST_SIZE_ERROR = '3';
constexpr uint8_t ST_DOWNLOAD_ABORTED = '4';
constexpr uint8_t ST_WRITE_ERROR = '5';
constexpr uint8_t ST_DOWNLOADS_DONE = 'D';
constexpr uint8_t ST_UPLOADS_DONE = 'U';
constexpr uint8_t STATUS_NAME_TOO_LONG = 'N';  // an offer or request that never fits whole

// Abort states of a side (its stream.abort_state).
constexpr int ABORT_NONE = 0;
constexpr int ABORT_TO_SEND = 1;  // our "a" or "b" waits for room on channel 1
constexpr int ABORT_SENT = 2;     // sent; nothing moves until the peer's "o"
constexpr int ABORT_TO_ACK = 3;   // receiving only: the peer's "b" was handled, "o" to send

// Figures of one direction, shown in its column of the status area.
struct transfer_figures {
    int64_t file_size = 0;  // shown as 32 bits, wrapping like the others
    int64_t file_bytes_left = 0;
    int32_t total_files = 0;
    int32_t total_bytes = 0;
    int32_t files_left = 0;
    int32_t bytes_left = 0;
    // Bytes taken from (or written into) the data channels in this run: the files of a
    // direction follow each other in this count, which places them for their rates.
    int64_t bytes_moved = 0;
};

// The longest name a basic record carries in 512 bytes; the extended record, 16 bytes longer,
// carries it too.
constexpr int MAX_ANNOUNCED_NAME = OFFER_CHANNEL_SIZE - EXTENDED_HEADER_SIZE - 1;  // 503
static_assert(OFFER_HEADER_SIZE + MAX_ANNOUNCED_NAME + 1 == 512);
// A tree's offer: the extended header and its flags byte, then the path.
constexpr int TREE_HEADER_SIZE = EXTENDED_HEADER_SIZE + 1;
static_assert(TREE_HEADER_SIZE + TREE_PATH_MAX + 1 == OFFER_CHANNEL_SIZE);
constexpr int OFFER_MIN_ROOM = 256;  // offers are written only while this much is free
// (a longer header waits for as many bytes more)
constexpr int REQUEST_MIN_ROOM = 256;  // likewise for requests

// File data pieces one side moves in one cycle at most: what the 16 data rings hold.
constexpr int PIECES_PER_CYCLE = 32;

// File bytes hashed in one cycle at most, for an offer, an answer or a verdict: a large
// file never holds the cycle up, and the cycle does not wait for the line while one is due.
constexpr int64_t DIGEST_BUDGET = 4 * 1024 * 1024;

// Where a side stands in the current file's part of the data stream (see the layout above).
enum stream_phase : uint8_t {
    PHASE_PREFIX,   // extended "r": the first `offset` bytes of the file being hashed
    PHASE_VERDICT,  // the verdict byte is next
    PHASE_DATA,     // the file's bytes
    PHASE_DIGEST,   // the 8 digest bytes
};

// One side's stream of file data: the file being moved and where its next piece goes.
struct transfer_direction {
    file_entry* current = nullptr;    // the file being written (received) or read (sent)
    int fd = -1;                      // its descriptor; -1: no file open
    int channel = CH_DATA_FIRST;      // the data channel of the next piece
    int slice_left = SLICE_SIZE;      // bytes before the slice moves on to the next channel
    int abort_state = ABORT_NONE;     // the side's own abort exchange: ABORT_*
    bool squeezed = false;            // the current file's data is one zstd frame
    bool batched = false;             // its part of the stream is in the batch frame
    bool digested = false;            // the current file ends with its digest (CAP_EXTENDED)
    uint8_t phase = PHASE_DATA;       // a stream_phase
    file_digest digest;               // received: of the file's bytes so far; sent: of its prefix
    uint8_t tail[DIGEST_BYTES] = {};  // its digest, as sent or collected so far
    int tail_len = 0;
    int64_t stream_moved = 0;  // bytes through the data channels in this run (compressed)
    transfer_figures figures;
};

// What moving one piece of file data came to.
enum class piece_result {
    stop,       // nothing more this cycle: no room or no data yet, the batch ended, or a failure
    moved,      // a piece moved and the file goes on
    file_done,  // the file is complete and the next one may be opened now
};

// Entries with a final status letter, shown one per main-loop turn and freed.
extern file_queue finished_queue;

void finish_entry(file_entry* entry, uint8_t letter);
void write_status_letter(uint8_t letter);
int32_t figure_add(int32_t figure, int64_t amount);
void set_idle_exit(int32_t seconds);
void set_session_option(int session_options::*option, int value);
bool auto_exit_on();
void note_activity();
// One side's steps through a file's part of the data stream, by phase (the layout above).
struct stream_steps {
    piece_result (*prefix)();
    piece_result (*verdict)();
    piece_result (*raw_data)();
    piece_result (*squeezed_data)();
    piece_result (*digest)();
};

void run_stream(transfer_direction* stream, const stream_steps& steps, void (*start_next)());
int piece_size(const transfer_direction& stream);
void piece_moved(transfer_direction* stream, int n);
void slice_moved(transfer_direction* stream, int n);
void file_moved(transfer_direction* stream, int n);
void stream_accept(transfer_direction* stream, file_entry* entry, int64_t offset);
void stream_uncount(transfer_direction* stream, const file_entry* entry);
void stream_closed(transfer_direction* stream);
void stream_restart(transfer_direction* stream);
void announce(uint8_t caps);
void peer_announced(uint8_t caps);
bool peer_opened();
bool both_announced(uint8_t cap);
bool trees_agreed();
bool history_agreed();
void write_le64(uint8_t* out, uint64_t value);
uint64_t read_le64(const uint8_t* bytes);
bool apply_times_on();
