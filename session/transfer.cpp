#include "session/transfer.h"

#include "link/channels.h"

session_options session;
file_queue finished_queue;

void finish_entry(file_entry* entry, uint8_t letter) {
    entry->status = letter;
    queue_append(&finished_queue, entry);
}

void write_status_letter(uint8_t letter) { send_write(CH_STATUS, &letter, 1); }

// The figures are 32-bit and a peer may offer or claim sizes near the limit: they wrap
// rather than overflow, and the counts that bring them back down meet them at 0.
int32_t figure_add(int32_t figure, int64_t amount) {
    return static_cast<int32_t>(static_cast<uint32_t>(figure + amount));
}

void piece_moved(transfer_figures* figures, int* channel, int* slice_left, int n) {
    *slice_left -= n;
    figures->bytes_left = figure_add(figures->bytes_left, -n);
    figures->file_bytes_left -= n;
    figures->bytes_moved += n;
    if (*slice_left != 0) return;
    *slice_left = SLICE_SIZE;
    *channel = *channel == CH_DATA_LAST ? CH_DATA_FIRST : *channel + 1;
}
