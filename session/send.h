// The sending side: offers, data, requests served, the abort.
//
// Interface summary:
//   serve_request ()     answers at most one download request of the peer
//   send_offers ()       offers queued files while channel 2 has room; each is opened and
//                        its first byte read first: one that fails is not offered (the
//                        reason on standard error) and the batch goes on. With `extended`
//                        each is hashed whole first (DIGEST_BUDGET a cycle; the offers
//                        behind it wait); without it a file past 2 GiB is not offered
//   offer_hash_due () -> true while a file is being hashed for its offer
//   send_data ()         file data into the data channels while they take it (at most
//                        PIECES_PER_CYCLE pieces); opens the next accepted file
//   accept_outgoing (offset)   the peer's "u" or "r": the first offered file accepted
//   accept_verified_resume (resume)  the peer's extended "r": likewise, the file's first
//                        `offset` bytes to be hashed and compared with its digest before
//                        the verdict
//   offer_refused (letter)     the peer refused the first offered file ("e", "i", "q", "t")
//                        or already has it ("x")
//   transit_answer (letter)  the peer's "c" or "v" for the oldest file in transit not yet
//                        answered: one for a file whose last frame (its digest) has not been
//                        written is a protocol error (the upload side aborts, the file ends
//                        ST_EARLY_ANSWER, not confirmed, not deleted); one before those frames
//                        are acknowledged is held until they are
//   release_answers (all)  held letters acted on once their frames are acknowledged (all:
//                        at the peer's goodbye, which it sent after them)
//   confirm_sent ()      a "c" let through: the oldest file in transit arrived whole
//   check_failed_sent () a "v" let through: the oldest file in transit arrived other than
//                        sent; offered again at the end of upload_queue from its first byte,
//                        or after MAX_CHECKS failures ended as failed ('v')
//   stream_hash_due () -> true while the current file's first bytes are being hashed
//   abort_upload (letter)  drops the data stream; the failed file finishes with the letter
//                        (on the peer's "a": the oldest unconfirmed one, once blamed twice),
//                        every other unconfirmed one is offered again after the peer's "o"
//   on_receiver_abort () the peer's "a": its requests dropped, our uploads aborted
//   reoffers_due () -> true while files accepted before an abort wait to be offered again
//                        and both ends announced `reoffer` (the session does not end then)
//   uploads_peer_lost () the peer is gone (it restarted): the files under way logged as at
//                        the end of a run, every unconfirmed one offered again
//   close_outgoing ()    the exit path: the file closed, unfinished uploads logged
//   show_upload_name ()  the oldest file in transit to the display
//   upload_file_bytes (stream) -> the file bytes that the data stream up to `stream` holds
//                        for sure (compressed streams: as far as the last flush)
// Within the sending side (session/squeeze.cpp):
//   line_rate_known () -> bytes per second the line is known to carry, 0 when unknown
//   start_watch ()       the compressor's watch begins now (a frame, or the batch frame, opens)
//   line_waits_for_compressor () -> the watch says the line waits for the compressor (WATCH_*)
//   watch_ran (began, fed, made_before)  the compressor ran: its time and bytes for the watch
//   batch_drain () -> true when none of the batch frame's bytes wait for the data channels
//   batch_room () -> stream bytes the batch frame takes now; steps it down at a flush when the
//                        line waits for it
//   batch_put (bytes, n, flush, file_bytes)  into the batch frame; `flush` at a file's end
// Within the sending side (session/offers.cpp):
//   log_upload (letter, entry)   its log line, with the rate of what of it crossed
//   finish_upload (entry, letter)  a final letter; any but "x" keeps the uploads bit
#pragma once

#include <cstdint>

#include "files/entries.h"
#include "session/transfer.h"
#include "session/zframe.h"

constexpr int REQUEST_BUFFER_SIZE = 2056;
constexpr uint8_t MAX_CHECKS = 2;     // failed whole-file checks after which a file is given up
constexpr int MAX_HELD_ANSWERS = 64;  // "c" and "v" held for their frames' acknowledgement

// The file at the head of upload_queue, hashed whole for its extended offer.
struct offer_hash {
    file_entry* entry = nullptr;  // being hashed; null: none
    int fd = -1;
    file_digest digest;
};

// How long the compressor kept the cycle busy since when, what it took and made then, and
// how much of the data stream the line had taken when the watch began.
struct compressor_watch {
    int64_t since_ms = 0;
    int64_t busy_ms = 0;
    int64_t fed = 0;
    int64_t made = 0;
    int64_t taken = 0;
};
constexpr int64_t WATCH_MIN_MS = 20;  // time looked at before the line is said to wait
// The line waits for a compressor that makes less than twice what the line takes, in the time
// it runs; and for one that takes a 32nd of the time for data that shrinks by under 5%: it
// costs more than it saves.
constexpr int64_t WATCH_AHEAD = 2;
constexpr int64_t WATCH_FUTILE_SHARE = 32;

struct send_state {
    file_queue offered_queue;     // offered, not yet answered
    file_queue send_queue;        // accepted, not yet begun
    file_queue in_transit_queue;  // begun (the current file last), not yet confirmed
    // The file being read. The abort state runs ABORT_NONE, ABORT_TO_SEND, ABORT_SENT: an
    // abort gives up the data stream at once (the unconfirmed files are offered again).
    transfer_direction stream;
    zframe_out zout;  // the current file's frame, while both ends compress
    compressor_watch watch;
    offer_hash hash;
    data_verdict verdict =
        data_verdict::resume;  // the current file's, once its first bytes are hashed
    // The current file is not the one offered (its inode, size, modification or change
    // time differ at its opening or after its last byte): its digest goes out complemented.
    bool changed = false;
    // The peer's "c" and "v" that came before the link acknowledged their files' frames.
    uint8_t held_answers[MAX_HELD_ANSWERS] = {};
    int held_count = 0;
    bool reoffer_notice = false;  // `reoffer`: "g" goes before this abort's "b"
    bool told_no_trees = false;   // the line that the peer keeps no directories was written
    uint8_t request_buffer[REQUEST_BUFFER_SIZE] = {};  // the peer's request being collected
    int request_pos = 0;                               // bytes of it collected
    // An upload ended other than confirmed or already at the peer: the uploads bit of the
    // exit status stays for the run.
    int upload_failed = 0;
};

extern send_state sending;

void serve_request();
void send_offers();
void send_data();
bool offer_hash_due();
void accept_outgoing(int64_t offset);
void accept_verified_resume(const resume_answer& resume);
void offer_refused(uint8_t letter);
void transit_answer(uint8_t letter);
void release_answers(bool all);
void confirm_sent();
void check_failed_sent();
bool stream_hash_due();
void abort_upload(char letter);
void on_receiver_abort();
bool reoffers_due();
void uploads_peer_lost();
void close_outgoing();
void show_upload_name();
int64_t upload_file_bytes(int64_t stream);
int64_t line_rate_known();
void start_watch();
bool line_waits_for_compressor();
void watch_ran(int64_t began, int64_t fed, int64_t made_before);
bool batch_drain();
int batch_room();
void batch_put(const uint8_t* bytes, int n, bool flush, bool file_bytes);
void log_upload(char letter, const file_entry* entry);
void finish_upload(file_entry* entry, uint8_t letter);
