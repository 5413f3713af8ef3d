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
//   activity_from_now ()         the link is up: the idle time counts from this clock second
//   activity_restart ()          the link is up again with a new peer: as at the start
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
//   announce (features)          what our opening block announces (none: all zero, as a
//                                peer that knows nothing of them sends)
//   peer_announced (features)    the peer's opening block came, announcing these: what the
//                                session uses (announcement.used) is decided here, once
//   peer_opened ()               it came: offers may be sent and decided, both ways
//   peer_gone ()                 the link went back to the handshake: nothing announced yet
//   apply_times_on ()            a confirmed file gets the offer's modification time
//   facts_of (entry) -> its transfer_facts, made at the first call; null without memory
//   facts (entry) -> them to read: all defaults while none were made
//   bench_no_extended (), bench_spoil_digest ()   the benchmark build's seam: the extension
//                                not announced; the next digest sent complemented. The
//                                product's are weak and say no; bench/kestro_trace.cpp
//                                links its own
//
// The data stream of one direction is file after file, cut into slices: 1,024 bytes to
// channel 16, the next 1,024 to 17 and so on, back to 16 after 31; a file's bytes run on in
// the slice where the previous file's ended. What one file puts into it:
//
//   [verdict]  1 byte, only after an extended "r" (both ends announced `extended`): whether
//              the receiver's first `offset` bytes are the sender's (verdict)
//   [data]     the file's bytes from the offset (0 after data_verdict::whole) to its end: raw, or
//              one zstd frame while both ends announced `compress`; none when that is empty
//   [digest]   8 bytes, little-endian, outside any frame, only while both ends announced
//              `extended`: XXH3 of the whole file, [0, length), as its offer carried it
//              (read whole before the offer), complemented when the file was not the same
//              (inode, size, modification and change time) after its last byte as when it
//              was offered
//
// data_verdict::none ends the file there: no data, no digest. Nothing else marks where a file
// ends: its length and offset say so. The verdict and the digest may span two slices; an
// abort (the peer's "b", our own) drops the stream whole, and each side's parse of it (the
// phase, the digest bytes so far, the bytes read past a frame's end) starts afresh.
//
// While both ends announced `history`, the slices carry instead one zstd frame holding all of
// the above (verdicts, data, digests) file after file, with no frame of its own per file:
// each file refers to those sent before it (a window of 1 MiB). The sender flushes it at each
// file's end, so the receiver can finish that file. It ends at an abort: the sender gives it
// up at its abort, the receiver at the peer's "b", and the first file after the peer's "o"
// begins a new one, so both ends always hold the same history. A step down of the level
// ends it too, and the next frame follows at once, with nothing before it.
#pragma once

#include <cstdint>
#include <ctime>

#include "files/digest.h"
#include "files/entries.h"
#include "files/tree.h"
#include "session/plan.h"
#include "session/records.h"

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
    int announce = 1;            // --plain: 0, the opening block announces nothing
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

// What a receiver does with a name that is taken (its transfer_facts' `taken`).
enum class taken_rule : uint8_t {
    refuse,   // "e"
    replace,  // -o: received under a temporary name, renamed over at "c"
    rename,   // -R: stored as NAME.n
};

// What the protocol knows of one file in transfer: the session's record beside its entry
// (entry->facts), made when an extended offer is made or taken, or its last frame written.
struct transfer_facts {
    uint64_t digest = 0;         // the whole file's XXH3, as its extended offer carries it
    uint64_t prefix_digest = 0;  // after an extended "r": of its first `offset` bytes
    bool digested = false;       // `digest` is taken
    uint8_t checks_failed = 0;   // times the receiver's copy failed its whole-file check
    taken_rule taken = taken_rule::refuse;     // receiving: the rule for its taken name
    resume_or otherwise = resume_or::nothing;  // sending: the peer's rule after an extended "r"
    int64_t stream_end = 0;  // sending: where its last frame bytes end in the data stream
};

struct announcement_state {
    session_features own;      // what our opening block announces
    session_features used;     // what both announced: the session reads this, nothing else
    bool peer_opened = false;  // the peer's opening block has come
};

extern announcement_state announcement;

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
constexpr uint8_t ST_DENIED_HERE = 'P';        // we refused the peer's request ('p' told)
constexpr uint8_t ST_DATA_ERROR = '6';         // the peer's data stream is no good for the file
constexpr uint8_t ST_STALLED = '7';            // no progress while the link was idle
constexpr uint8_t ST_NAME_REFUSED = 'n';       // an offered name refused for what it holds
constexpr uint8_t ST_EARLY_ANSWER = '8';       // "c" or "v" before the file's last byte went

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
    bool batched = false;             // its part of the stream is in the batch frame (`history`)
    bool digested = false;            // the current file ends with its digest (`extended`)
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
void activity_from_now();
void activity_restart();
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
void announce(const session_features& features);
void peer_announced(const session_features& features);
bool peer_opened();
void peer_gone();
bool apply_times_on();
transfer_facts* facts_of(file_entry* entry);
const transfer_facts& facts(const file_entry* entry);
bool bench_no_extended();
bool bench_spoil_digest();
