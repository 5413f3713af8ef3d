// File data as zstd frames: one frame a file, made and taken a piece at a time, so that a
// direction's data slices carry compressed bytes between two ends that both announced it.
//
// Interface summary (the contexts are made at first use and kept for the run; -1 or
// ZIN_FAILED only when the library has no memory, or the peer's bytes are no good frame):
//   zout_begin (z, length, level) -> 0, or -1: a new frame for `length` file bytes
//   zout_level (z, bytes_per_second) -> the level for the next frame: the table's for a
//                    known rate, ZOUT_LEVEL_MAX for an unknown one, never above the steps
//                    taken down in this run
//   zout_step_down (z)  the line waited for the compressor: the rest of this frame goes as
//                    stored blocks from the next feed on (a block boundary: every feed ends
//                    in a flush), and the frames after it start one step lower
//   zout_wants (z) -> file bytes the frame takes now (0 while compressed bytes wait, or
//                    once every byte was fed)
//   zout_feed (z, bytes, n)      n <= zout_wants: compressed; a flush every ZOUT_FLUSH_EVERY
//                    file bytes and at the last one, so the line never waits for a block
//   zout_pending (z, &bytes) -> compressed bytes ready;  zout_taken (z, n)
//   zout_done (z)   every byte fed and taken: the frame is whole on the line
//   zout_file_at (z, stream) -> file bytes that the compressed bytes up to `stream` hold
//                    (exact at flushes, even between them); both counted over the run, every
//                    frame after the one before
//   zout_reset (z, stream, file)  gives the frame up (an abort): the run's counts go on from
//                    `stream` compressed and `file` file bytes
//   zout_open_batch (z, level) -> 0, or -1: one frame for the whole data stream of a
//                    direction, of no stated length: each file's bytes refer to those before
//                    them in it (a window of 1 MiB); it lasts until an abort or a step down
//   zout_room (z) -> stream bytes the batch frame takes now (0 while compressed bytes wait)
//   zout_put (z, bytes, n, flush, counted)  n <= zout_room; a flush every ZOUT_FLUSH_EVERY
//                    bytes and whenever asked (a file's end: the receiver can finish it); the
//                    bytes count as file bytes (`fed`) only when `counted`; a step down
//                    ends the frame at this flush, and the next put opens one a step lower
//                    (both ends start an empty history there)
//   zin_begin (z, length) -> 0, or -1: the next frame must hold exactly `length` bytes;
//                    ZIN_BATCH: frames of no stated length follow each other (zin_take
//                    then never reports ZIN_END)
//   zin_take (z, bytes, n, out, out_size, &used, &made) -> ZIN_MORE, ZIN_END (the frame
//                    ended after `used` bytes: the rest belongs to what follows), ZIN_FAILED
//                    (not a frame, a window larger than ZIN_WINDOW_LOG allows, or more or
//                    fewer bytes than `length`)
//   zin_reset (z)
//   zframe_level (bytes_per_second) -> the level for a line of that rate (0: unknown)
//   zframe_free (z)  frees the contexts (tests; the run keeps them)
#pragma once

#include <zstd.h>

#include <cstddef>
#include <cstdint>

constexpr int ZOUT_SIZE = 17 * 1024;         // compressed bytes waiting for the data channels
constexpr int ZOUT_FLUSH_EVERY = 16 * 1024;  // file bytes between two flushes
constexpr int ZOUT_MARKS = 64;               // flush points kept for the figures
// A window of 1 MiB, and tables sized so that level 19 stays near 16 MiB in all.
constexpr int ZOUT_WINDOW_LOG = 20;
constexpr int ZOUT_HASH_LOG = 18;
constexpr int ZOUT_CHAIN_LOG = 19;
constexpr int ZIN_WINDOW_LOG = 20;  // the most a peer's frame may ask of our memory
constexpr int64_t ZIN_BATCH = -1;   // zin_begin: the batch frames of a direction
// The level a frame of a line of unknown rate starts at: a line as slow as a serial one
// never waits for it, and a faster one is noticed by its waiting and stepped down from it.
constexpr int ZOUT_LEVEL_MAX = 19;

enum zin_result { ZIN_MORE, ZIN_END, ZIN_FAILED };

// Where a flush left the frame: `stream` compressed bytes hold the first `file` file bytes.
struct zout_mark {
    int64_t stream = 0;
    int64_t file = 0;
};

struct zframe_out {
    ZSTD_CCtx* cctx = nullptr;
    bool open = false;             // a frame is under way
    bool ended = false;            // its last byte is in `out` (or on its way)
    bool batch = false;            // the frame is the batch's (zout_open_batch): no stated length
    bool stored = false;           // the rest of the frame goes as stored blocks (zout_step_down)
    int level = 0;                 // the frame's
    int ceiling = ZOUT_LEVEL_MAX;  // no frame of this run starts above it
    int flushes = 0;               // in this frame: a line that waits before the first may
                                   // only be waiting for its start
    int64_t file_left = 0;         // file bytes of this frame not yet fed
    int64_t since_flush = 0;       // file bytes fed since the last flush
    int64_t fed = 0;               // file bytes fed, over the run
    int64_t made = 0;              // compressed bytes made, over the run
    uint8_t out[ZOUT_SIZE] = {};
    int out_pos = 0;  // taken up to here
    int out_len = 0;
    zout_mark marks[ZOUT_MARKS];  // oldest first
    int mark_count = 0;
    zout_mark dropped;  // the newest mark no longer kept
};

struct zframe_in {
    ZSTD_DCtx* dctx = nullptr;
    bool open = false;
    int64_t left = 0;  // file bytes the frame still owes
};

int zout_begin(zframe_out* z, int64_t length, int level);
int zout_level(const zframe_out* z, int64_t bytes_per_second);
void zout_step_down(zframe_out* z);
int zout_open_batch(zframe_out* z, int level);
int zout_room(const zframe_out* z);
void zout_put(zframe_out* z, const uint8_t* bytes, int n, bool flush, bool counted);
int zout_wants(const zframe_out* z);
void zout_feed(zframe_out* z, const uint8_t* bytes, int n);
int zout_pending(const zframe_out* z, const uint8_t** bytes);
void zout_taken(zframe_out* z, int n);
bool zout_done(const zframe_out* z);
int64_t zout_file_at(const zframe_out* z, int64_t stream);
void zout_reset(zframe_out* z, int64_t stream, int64_t file);
int zin_begin(zframe_in* z, int64_t length);
zin_result zin_take(zframe_in* z, const uint8_t* bytes, size_t n, uint8_t* out, size_t out_size,
                    size_t* used, size_t* made);
void zin_reset(zframe_in* z);
int zframe_level(int64_t bytes_per_second);
void zframe_free(zframe_out* out, zframe_in* in);
