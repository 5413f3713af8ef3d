// The sending side and the status channel: offers, data, requests served, the abort.
//
// Interface summary:
//   status_receiver ()   consumes receive channel 1 for both sides
//   status_sender ()     writes "b", "a", "o", "c" while channel 1 has room
//   serve_request ()     answers at most one download request of the peer
//   send_offers ()       offers queued files while channel 2 has room; each is opened and
//                        its first byte read first: one that fails is not offered (the
//                        reason on standard error) and the batch goes on
//   send_data ()         file data into the data channels while they take it (at most
//                        PIECES_PER_CYCLE pieces); opens the next accepted file
//   accept_outgoing (offset)
//   abort_upload (letter)  drops the data stream; the failed file finishes with the letter
//                        (on the peer's "a": the oldest unconfirmed one, once blamed twice),
//                        every other unconfirmed one is offered again after the peer's "o"
//   close_outgoing ()    the exit path: the file closed, unfinished uploads logged
//   drain_status_channel ()  status letters already delivered are acted on; for the end
//                        of the run when the peer's goodbye ends the link
//   show_upload_name ()  the oldest file in transit to the display
#pragma once

#include <cstdint>

#include "files/entries.h"
#include "session/transfer.h"

constexpr int REQUEST_BUFFER_SIZE = 2056;

struct send_state {
    file_queue offered_queue;
    file_queue send_queue;
    file_queue in_transit_queue;
    file_entry* current_outgoing = nullptr;
    int outgoing_fd = 0;
    int send_channel = CH_DATA_FIRST;
    int send_slice_left = SLICE_SIZE;
    int upload_abort_state = ABORT_NONE;
    uint8_t request_buffer[REQUEST_BUFFER_SIZE] = {};
    int request_pos = 0;
    int offset_expected = 0;
    uint8_t offset_bytes[4] = {};
    transfer_figures figures;
    // An upload ended other than confirmed or already at the peer: the uploads bit of the
    // exit status stays for the run.
    int upload_failed = 0;
};

extern send_state sending;

void status_receiver();
void status_sender();
void serve_request();
void send_offers();
void send_data();
void accept_outgoing(int32_t offset);
void abort_upload(char letter);
void close_outgoing();
void drain_status_channel();
void show_upload_name();
