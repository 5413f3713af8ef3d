// State shared by the two sides of the file transfer: figures and the finished entries.
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

// Entries with a final status letter, shown one per main-loop turn and freed.
extern file_queue finished_queue;
