// The status channel (channel 1), both ways: the letters that answer offers and requests,
// confirm files and carry the abort exchange, read for both sides and written for both.
//
// Interface summary:
//   status_receiver ()        consumes receive channel 1: each letter to the side it is for
//   status_sender ()          writes "b", "a", "o", "c" (or "v" for a file that failed its
//                             check) while channel 1 has room
//   drain_status_channel ()   status letters already delivered are acted on; for the end
//                             of the run when the peer's goodbye ends the link
#pragma once

#include <cstdint>

#include "session/transfer.h"

struct status_state {
    int offset_expected = 0;  // bytes of a resume answer still to come
    int offset_length = 0;    // its length: OFFSET_BYTES, or EXTENDED_RESUME_BYTES
    uint8_t offset_bytes[EXTENDED_RESUME_BYTES] = {};  // the answer so far, little-endian
};

extern status_state status;

void status_receiver();
void status_sender();
void drain_status_channel();
