// State shared by the two sides of the file transfer: figures, finished entries, letters.
//
// Interface summary:
//   finished_queue               entries with a final status letter, shown and freed by stats
//   finish_entry (entry, letter) sets the letter and appends the entry to finished_queue
//   queue_remove (q, entry) -> 1 when the entry was in q and is now unlinked, else 0
//   write_status_letter (letter) one byte into send channel 1 (callers checked the room)
#pragma once

#include <cstdint>

#include "files/entries.h"

// Figures of one direction, shown in its column of the status area.
struct transfer_figures {
    int32_t file_size = 0;
    int32_t file_bytes_left = 0;
    int32_t total_files = 0;
    int32_t total_bytes = 0;
    int32_t files_left = 0;
    int32_t bytes_left = 0;
    int32_t bytes_moved = 0;  // bytes received, or bytes sent, in this batch
};

// Send buffers of the offer and request channels: a record must fit one of them whole.
constexpr int OFFER_CHANNEL_SIZE = 512;
constexpr int REQUEST_CHANNEL_SIZE = 512;
constexpr int MAX_ANNOUNCED_NAME = OFFER_CHANNEL_SIZE - OFFER_HEADER_SIZE - 1;  // 503
constexpr int MAX_REQUEST_NAME = REQUEST_CHANNEL_SIZE - 1;                      // 511
constexpr int OFFER_MIN_ROOM = 256;    // offers are written only while this much is free
constexpr int REQUEST_MIN_ROOM = 256;  // likewise for requests

// File data pieces one side moves in one cycle at most: what the 16 data rings hold.
constexpr int PIECES_PER_CYCLE = 32;

// What moving one piece of file data came to.
enum class piece_result {
    stop,       // nothing more this cycle: no room or no data yet, the batch ended, or a failure
    moved,      // a piece moved and the file goes on
    file_done,  // the file is complete and the next one may be opened now
};

// Final letter of an offer or request that could never be sent whole; never on the wire.
constexpr uint8_t STATUS_NAME_TOO_LONG = 'N';

// Entries with a final status letter, shown one per main-loop turn and freed.
extern file_queue finished_queue;

void finish_entry(file_entry* entry, uint8_t letter);
int queue_remove(file_queue* queue, file_entry* entry);
void write_status_letter(uint8_t letter);
