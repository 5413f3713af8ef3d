#include "session/zframe.h"

#include <algorithm>
#include <cstring>

namespace {

// A flush of ZOUT_FLUSH_EVERY file bytes, with the frame's header and end, always fits: the
// compressor never has to stop half-way for want of room.
constexpr int frame_header_max = 18;  // a zstd frame header at its longest
static_assert(ZOUT_SIZE >= ZSTD_COMPRESSBOUND(ZOUT_FLUSH_EVERY) + frame_header_max + 8);

// The level's own tables, capped: above level 3 they would grow past what the window needs.
constexpr int capped_tables_from = 4;

// Each line rate (bytes per second, up to) and the highest level whose compressor keeps three
// times ahead of it on text, which shrinks most and so asks the compressor for the most
// bytes (measured on C headers with these tables: level 19 takes 2.7 MB/s and shrinks them
// 8.8 times, 12 takes 47 MB/s for 8.1, 6 60 MB/s for 7.7, 3 200 MB/s for 6.5, 1 270 MB/s).
struct level_step {
    int64_t rate;
    int level;
};
constexpr level_step level_steps[] = {
    {100 * 1000, 19},
    {1500 * 1000, 12},
    {2200 * 1000, 6},
    {7000 * 1000, 3},
};
static_assert(level_steps[0].level == ZOUT_LEVEL_MAX);
constexpr int fastest_level = 1;
constexpr int stored_level = 0;  // below the fastest: stored blocks, no compressor at all

// A stored block: 3 bytes of header (last-block bit, type 0, size), then the bytes as they are.
constexpr int block_header_size = 3;
static_assert(ZOUT_SIZE >= ZOUT_FLUSH_EVERY + block_header_size);

// The level one step below `level`: the next of the table, then the fastest, then none.
int step_below(int level) {
    for (const level_step& step : level_steps)
        if (step.level < level) return step.level;
    return level > fastest_level ? fastest_level : stored_level;
}

void mark(zframe_out* z) {
    if (z->mark_count == ZOUT_MARKS) {
        z->dropped = z->marks[0];
        std::memmove(z->marks, z->marks + 1, sizeof z->marks[0] * (ZOUT_MARKS - 1));
        --z->mark_count;
    }
    z->marks[z->mark_count++] = zout_mark{z->made, z->fed};
}

// Compresses what `in` holds with `mode`, into the free room of `out`; true when the mode's
// work is done (a flush or the end written whole).
bool compress(zframe_out* z, ZSTD_inBuffer* in, ZSTD_EndDirective mode) {
    if (z->out_pos == z->out_len) z->out_pos = z->out_len = 0;
    ZSTD_outBuffer out{z->out, sizeof z->out, static_cast<size_t>(z->out_len)};
    size_t left = 0;
    do {
        left = ZSTD_compressStream2(z->cctx, &out, in, mode);
        if (ZSTD_isError(left)) return false;
    } while (left != 0 && out.pos < out.size && mode != ZSTD_e_continue);
    z->made += static_cast<int64_t>(out.pos) - z->out_len;
    z->out_len = static_cast<int>(out.pos);
    return mode == ZSTD_e_continue || left == 0;
}

// The bytes as one stored block, the frame's last when `last`.
void store(zframe_out* z, const uint8_t* bytes, int n, bool last) {
    if (z->out_pos == z->out_len) z->out_pos = z->out_len = 0;
    uint32_t header = static_cast<uint32_t>(n) << 3 | (last ? 1u : 0u);
    uint8_t* at = z->out + z->out_len;
    for (int i = 0; i < block_header_size; ++i) at[i] = static_cast<uint8_t>(header >> (8 * i));
    if (n > 0) memcpy(at + block_header_size, bytes, static_cast<size_t>(n));
    z->out_len += block_header_size + n;
    z->made += block_header_size + n;
}

void set_level(zframe_out* z, int level) {
    ZSTD_CCtx_reset(z->cctx, ZSTD_reset_session_and_parameters);
    // A frame the ceiling has brought below the fastest level starts at it, and goes stored
    // after its first flush.
    z->level = std::max(level, fastest_level);
    ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_compressionLevel, z->level);
    ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_windowLog, ZOUT_WINDOW_LOG);
    if (z->level >= capped_tables_from) {
        ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_hashLog, ZOUT_HASH_LOG);
        ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_chainLog, ZOUT_CHAIN_LOG);
    }
    z->open = true;
    z->ended = false;
    z->stored = false;
    z->flushes = 0;
    z->since_flush = 0;
}

// A flush (or the frame's end) is out: a place where the figures know the file bytes, and
// past the first one a frame the ceiling put below the fastest level goes stored.
void flushed(zframe_out* z) {
    z->since_flush = 0;
    ++z->flushes;
    mark(z);
    if (z->ceiling == stored_level) z->stored = true;
}

}  // namespace

int zout_begin(zframe_out* z, int64_t length, int level) {
    if (z->cctx == nullptr && (z->cctx = ZSTD_createCCtx()) == nullptr) return -1;
    set_level(z, level);
    z->batch = false;
    // The frame says how many bytes it holds: the receiver checks it before any is written.
    ZSTD_CCtx_setPledgedSrcSize(z->cctx, static_cast<unsigned long long>(length));
    z->file_left = length;
    if (length == 0) zout_feed(z, nullptr, 0);  // the frame of an empty remainder
    return 0;
}

int zout_wants(const zframe_out* z) {
    if (!z->open || z->ended || z->batch || z->out_pos < z->out_len) return 0;
    return static_cast<int>(std::min<int64_t>(z->file_left, ZOUT_FLUSH_EVERY - z->since_flush));
}

void zout_feed(zframe_out* z, const uint8_t* bytes, int n) {
    if (!z->open || z->ended || z->batch) return;
    z->file_left -= n;
    z->since_flush += n;
    z->fed += n;
    if (z->stored) {
        store(z, bytes, n, z->file_left == 0);
        flushed(z);
        z->ended = z->file_left == 0;
        return;
    }
    ZSTD_inBuffer in{bytes, static_cast<size_t>(n), 0};
    ZSTD_EndDirective mode = z->file_left == 0                    ? ZSTD_e_end
                             : z->since_flush >= ZOUT_FLUSH_EVERY ? ZSTD_e_flush
                                                                  : ZSTD_e_continue;
    if (!compress(z, &in, mode)) {
        z->ended = true;  // the library failed: the caller sees an end that never completes
        z->open = false;
        return;
    }
    if (mode == ZSTD_e_continue) return;
    flushed(z);
    if (mode == ZSTD_e_end) z->ended = true;
}

int zout_level(const zframe_out* z, int64_t bytes_per_second) {
    int level = bytes_per_second > 0 ? zframe_level(bytes_per_second) : ZOUT_LEVEL_MAX;
    return std::min(level, z->ceiling);
}

void zout_step_down(zframe_out* z) {
    if (!z->open || z->ended || z->stored || z->flushes == 0 || z->since_flush != 0) return;
    z->ceiling = std::min(z->ceiling, step_below(z->level));
    if (!z->batch) {
        z->stored = true;
        return;
    }
    if (z->level == fastest_level) {
        // Nothing faster is left but no compressor: the frame goes on stored. Its blocks
        // refer to nothing, so the compressor that stops here is never needed again.
        z->stored = true;
        return;
    }
    ZSTD_inBuffer none{nullptr, 0, 0};
    if (!compress(z, &none, ZSTD_e_end)) z->open = false;
    z->ended = true;  // the next put opens a frame at the ceiling
}

int zout_open_batch(zframe_out* z, int level) {
    if (z->cctx == nullptr && (z->cctx = ZSTD_createCCtx()) == nullptr) return -1;
    set_level(z, level);
    z->batch = true;
    return 0;
}

int zout_room(const zframe_out* z) {
    if (!z->batch || z->out_pos < z->out_len) return 0;
    if (z->ended) return z->open ? ZOUT_FLUSH_EVERY : 0;  // a frame ended by a step down
    return z->open ? static_cast<int>(ZOUT_FLUSH_EVERY - z->since_flush) : 0;
}

void zout_put(zframe_out* z, const uint8_t* bytes, int n, bool flush, bool counted) {
    if (!z->batch || !z->open) return;
    if (z->ended) set_level(z, z->ceiling);
    z->since_flush += n;
    if (counted) z->fed += n;
    flush = flush || z->since_flush >= ZOUT_FLUSH_EVERY;
    if (z->stored) {
        // Stored blocks are whole at once: each put is its own block.
        store(z, bytes, n, false);
        if (flush) flushed(z);
        return;
    }
    ZSTD_inBuffer in{bytes, static_cast<size_t>(n), 0};
    if (!compress(z, &in, flush ? ZSTD_e_flush : ZSTD_e_continue)) {
        z->open = false;  // the library failed: no more of this stream is made
        return;
    }
    if (flush) flushed(z);
}

int zout_pending(const zframe_out* z, const uint8_t** bytes) {
    *bytes = z->out + z->out_pos;
    return z->out_len - z->out_pos;
}

void zout_taken(zframe_out* z, int n) { z->out_pos += std::min(n, z->out_len - z->out_pos); }

bool zout_done(const zframe_out* z) { return z->open && z->ended && z->out_pos == z->out_len; }

int64_t zout_file_at(const zframe_out* z, int64_t stream) {
    // Between two flushes the file's bytes are taken to lie evenly over the compressed ones,
    // so a file's first bytes count as they go, not only once its first flush has gone.
    zout_mark before = z->dropped;
    for (int i = 0; i < z->mark_count; ++i) {
        const zout_mark& after = z->marks[i];
        if (after.stream <= stream) {
            before = after;
            continue;
        }
        if (stream <= before.stream) return before.file;
        return before.file + (stream - before.stream) * (after.file - before.file) /
                                 (after.stream - before.stream);
    }
    return before.file;
}

void zout_reset(zframe_out* z, int64_t stream, int64_t file) {
    if (z->cctx != nullptr) ZSTD_CCtx_reset(z->cctx, ZSTD_reset_session_only);
    z->open = false;
    z->ended = false;
    z->stored = false;
    z->batch = false;
    z->out_pos = z->out_len = 0;
    z->made = stream;
    z->fed = file;
    z->mark_count = 0;
    z->dropped = zout_mark{stream, file};
}

int zin_begin(zframe_in* z, int64_t length) {
    if (z->dctx == nullptr && (z->dctx = ZSTD_createDCtx()) == nullptr) return -1;
    ZSTD_DCtx_reset(z->dctx, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(z->dctx, ZSTD_d_windowLogMax, ZIN_WINDOW_LOG);
    z->open = true;
    z->left = length;
    return 0;
}

zin_result zin_take(zframe_in* z, const uint8_t* bytes, size_t n, uint8_t* out, size_t out_size,
                    size_t* used, size_t* made) {
    *used = 0;
    *made = 0;
    if (!z->open) return ZIN_FAILED;
    const bool batch = z->left == ZIN_BATCH;
    // One byte of room beyond what the frame owes shows a frame longer than offered.
    size_t room =
        batch ? out_size
              : static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(out_size), z->left + 1));
    ZSTD_inBuffer in{bytes, n, 0};
    ZSTD_outBuffer ob{out, room, 0};
    size_t left = ZSTD_decompressStream(z->dctx, &ob, &in);
    *used = in.pos;
    *made = ob.pos;
    if (ZSTD_isError(left) || (!batch && static_cast<int64_t>(ob.pos) > z->left)) {
        z->open = false;
        return ZIN_FAILED;
    }
    // The batch's frames follow each other: the end of one is where the next begins.
    if (batch) return ZIN_MORE;
    z->left -= static_cast<int64_t>(ob.pos);
    if (left != 0) return ZIN_MORE;
    z->open = false;  // the frame is whole: it ends here, whatever follows in the slice
    return z->left == 0 ? ZIN_END : ZIN_FAILED;
}

void zin_reset(zframe_in* z) {
    if (z->dctx != nullptr) ZSTD_DCtx_reset(z->dctx, ZSTD_reset_session_only);
    z->open = false;
    z->left = 0;
}

int zframe_level(int64_t bytes_per_second) {
    if (bytes_per_second <= 0) return ZOUT_LEVEL_MAX;
    for (const level_step& step : level_steps)
        if (bytes_per_second <= step.rate) return step.level;
    return 1;
}

void zframe_free(zframe_out* out, zframe_in* in) {
    if (out != nullptr) {
        ZSTD_freeCCtx(out->cctx);
        *out = zframe_out{};
    }
    if (in != nullptr) {
        ZSTD_freeDCtx(in->dctx);
        *in = zframe_in{};
    }
}
