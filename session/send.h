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
//   confirm_sent ()      the peer's "c": the oldest file in transit arrived whole
//   check_failed_sent () the peer's "v": the oldest file in transit arrived other than sent;
//                        offered again at the end of upload_queue from its first byte, or
//                        after MAX_CHECKS failures ended as failed ('v')
//   stream_hash_due () -> true while the current file's first bytes are being hashed
//   abort_upload (letter)  drops the data stream; the failed file finishes with the letter
//                        (on the peer's "a": the oldest unconfirmed one, once blamed twice),
//                        every other unconfirmed one is offered again after the peer's "o"
//   on_receiver_abort () the peer's "a": its requests dropped, our uploads aborted
//   uploads_peer_lost () the peer is gone (it restarted): the files under way logged as at
//                        the end of a run, every unconfirmed one offered again
//   close_outgoing ()    the exit path: the file closed, unfinished uploads logged
//   show_upload_name ()  the oldest file in transit to the display
//   upload_file_bytes (stream) -> the file bytes that the data stream up to `stream` holds
//                        for sure (compressed streams: as far as the last flush)
// Within the sending side (session/offers.cpp):
//   log_upload (letter, entry)   its log line, with the rate of what of it crossed
//   finish_upload (entry, letter)  a final letter; any but "x" keeps the uploads bit
#pragma once

#include <cstdint>

#include "files/entries.h"
#include "session/transfer.h"
#include "session/zframe.h"

constexpr int REQUEST_BUFFER_SIZE = 2056;
constexpr uint8_t MAX_CHECKS = 2;  // failed whole-file checks after which a file is given up

// The file at the head of upload_queue, hashed whole for its extended offer.
struct offer_hash {
    file_entry* entry = nullptr;  // being hashed; null: none
    int fd = -1;
    file_digest digest;
};

struct send_state {
    file_queue offered_queue;     // offered, not yet answered
    file_queue send_queue;        // accepted, not yet begun
    file_queue in_transit_queue;  // begun (the current file last), not yet confirmed
    // The file being read. The abort state runs ABORT_NONE, ABORT_TO_SEND, ABORT_SENT: an
    // abort gives up the data stream at once (the unconfirmed files are offered again).
    transfer_direction stream;
    zframe_out zout;  // the current file's frame, while both ends compress
    offer_hash hash;
    data_verdict verdict =
        data_verdict::resume;  // the current file's, once its first bytes are hashed
    // The current file is not the one offered (its inode, size, modification or change
    // time differ at its opening or after its last byte): its digest goes out complemented.
    bool changed = false;
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
void confirm_sent();
void check_failed_sent();
bool stream_hash_due();
void abort_upload(char letter);
void on_receiver_abort();
void uploads_peer_lost();
void close_outgoing();
void show_upload_name();
int64_t upload_file_bytes(int64_t stream);
void log_upload(char letter, const file_entry* entry);
void finish_upload(file_entry* entry, uint8_t letter);
