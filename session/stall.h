// The watch on transfers that stop moving while the link is idle: a file whose data no longer
// comes, or a sent file whose "c" never comes, would hold both ends for ever. After
// stall_timeout_s without progress, while no block moves either way (a peer busy with chat,
// our own uploads, keep the wait from counting) and the peer is heard and not suspended,
// the file fails through the abort exchange and the run goes on, or ends as -E says.
//
// Interface summary:
//   watch_stalls ()   every cycle, after the data steps: each direction's progress looked
//                     at; one stalled too long is aborted with ST_STALLED (the reason on
//                     standard error). The wait for a verdict while the sender hashes a
//                     resumed prefix, and our own hashing, do not count.
#pragma once

#include <cstdint>
#include <ctime>

#include "files/entries.h"
#include "link/delivery.h"

constexpr int stall_timeout_s = 60;  // the silence time-out's measure
// The peer was heard this recently (keep-alives come every keepalive_s): the link lives, and
// a silent peer is the silence time-out's to judge.
constexpr int stall_heard_s = 2 * keepalive_s + 1;
// The slowest a sender is taken to hash a resumed prefix: the verdict may take this long.
constexpr int64_t stall_hash_bytes_per_s = 1024 * 1024;

// One direction's progress: what moved last, since when, for which file.
struct stall_watch {
    int64_t mark = -1;  // -1: nothing is waited for
    const file_entry* subject = nullptr;
    time_t since = 0;
};

struct stall_state {
    stall_watch download;
    stall_watch upload;
    int64_t line_mark = -1;  // the link's block bytes both ways at the last look
};

extern stall_state stall;

void watch_stalls();
