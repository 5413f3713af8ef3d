// The sending side and the status channel: offers, data, requests served, the abort.
//
// Interface summary:
//   status_receiver ()   consumes receive channel 1 for both sides
//   status_sender ()     writes "b", "a", "o", "c" while channel 1 has room
//   serve_request ()     answers at most one download request of the peer
//   send_offers ()       offers queued files while channel 2 has room
//   send_data ()         moves at most one piece of file data into a data channel
//   accept_outgoing (offset), abort_upload (letter), close_outgoing ()
//   drain_status_channel ()  status letters already delivered are acted on; for the exit
//                        path when the peer's goodbye ends the link
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
    int send_channel = 16;
    int send_slice_left = 1024;
    int upload_abort_state = 0;
    uint8_t request_buffer[REQUEST_BUFFER_SIZE] = {};
    int request_pos = 0;
    int offset_expected = 0;
    uint8_t offset_bytes[4] = {};
    transfer_figures figures;
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
