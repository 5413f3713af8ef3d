// The receiving side: offers answered, file data written, requests sent, the abort.
//
// Interface summary:
//   decide_offer ()      answers at most one offer of the peer
//   send_requests ()     writes queued download requests into channel 3
//   receive_data ()      writes the file data that is whole in the rings (at most
//                        PIECES_PER_CYCLE pieces); opens the next accepted file
//   accept_incoming (entry, offset, letter)   the offer answered with "u" or "r"
//   abort_download (letter)   our own abort: the current file finishes with the letter
//   close_incoming () -> true unless a file whose last byte was written failed its check
//                        (synced to the disk, still linked under its name; the reason goes
//                        to standard error); also run at the end of the run (exit_handler)
//   on_peer_abort ()     the peer's "b"
//   on_request_answer (letter)   "d", "m" or "p"
//   confirm_received (entry)     called when "c" is written for the entry
//   show_download_name ()        the current incoming file to the display, while files are left
// Names are literal paths: a blank in a name is part of it.
#pragma once

#include <cstdint>

#include "files/entries.h"
#include "session/transfer.h"
#include "session/zframe.h"

constexpr int OFFER_BUFFER_SIZE = 1032;  // 8 header bytes and a name of up to 1,023

struct receive_state {
    file_queue receive_queue;    // accepted, not yet begun
    file_queue received_queue;   // written whole, "c" not yet sent
    file_queue requested_queue;  // our requests sent, not yet answered
    // The file being written; it stays current after its last byte until the next one opens.
    // The abort state runs ABORT_NONE, ABORT_TO_SEND, ABORT_SENT, then ABORT_TO_ACK after the
    // peer's "b": the accepted files are kept until that "b" comes.
    transfer_direction stream;
    zframe_in zin;  // the current file's frame, while both ends compress
    // Bytes read from a slice past a frame's end: the start of what follows in the stream.
    uint8_t carry[SLICE_SIZE] = {};
    int carry_len = 0;
    uint8_t offer_buffer[OFFER_BUFFER_SIZE] = {};  // the peer's offer record being collected
    int offer_pos = 0;                             // bytes of it collected
    // The open file was positioned at its offset: until then nothing of it was received
    // in this run, so closing it logs no 'S' and deletes nothing.
    int reception_started = 0;
    // An accepted file was dropped unfinished: the downloads bit of the exit status, set at
    // each acceptance, stays for the run.
    int download_failed = 0;
};

extern receive_state receiving;

void decide_offer();
void send_requests();
void receive_data();
void accept_incoming(file_entry* entry, int32_t offset, char letter);
void abort_download(char letter);
bool close_incoming();
void on_peer_abort();
void on_request_answer(char letter);
void confirm_received(file_entry* entry);
void show_download_name();
