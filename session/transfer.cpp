#include "session/transfer.h"

#include <unistd.h>

#include <cstdlib>
#include <new>

#include "files/lists.h"
#include "link/channels.h"
#include "serial/port.h"
#include "serial/process.h"

session_options session;
activity_state activity;
announcement_state announcement;
file_queue finished_queue;

void set_idle_exit(int32_t seconds) {
    session.idle_exit_seconds = seconds;
    session.auto_exit_flags |= AUTO_EXIT_IDLE;
}

void set_session_option(int session_options::*option, int value) { session.*option = value; }

bool auto_exit_on() { return session.auto_exit_flags != 0; }

void note_activity() {
    activity.activity_seen = 1;
    activity.last_activity_time = serial.clock;
}

void activity_from_now() { activity.last_activity_time = serial.clock; }

void activity_restart() {
    // A new link with a new peer: -E and the rule for a run without transfers count anew.
    activity.activity_seen = 0;
    activity.last_activity_time = serial.clock;
}

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

namespace {

piece_result step(const transfer_direction& stream, const stream_steps& steps) {
    switch (stream.phase) {
    case PHASE_PREFIX: return steps.prefix();
    case PHASE_VERDICT: return steps.verdict();
    case PHASE_DIGEST: return steps.digest();
    default: return stream.squeezed ? steps.squeezed_data() : steps.raw_data();
    }
}

}  // namespace

void run_stream(transfer_direction* stream, const stream_steps& steps, void (*start_next)()) {
    if (stream->abort_state != ABORT_NONE) return;
    if (stream->current != nullptr) {
        // Pieces while they move, not one per cycle: on a fast line one piece per turn of the
        // cycle, not the line, would set the pace, and receive rings left full make the
        // peer's blocks bounce for want of room.
        piece_result r = piece_result::moved;
        for (int n = 0; n < PIECES_PER_CYCLE && r == piece_result::moved; ++n)
            r = step(*stream, steps);
        if (r != piece_result::file_done) return;
    }
    // A file finished with more accepted ones left: the next one is opened in this cycle.
    start_next();
}

int piece_size(const transfer_direction& stream) {
    int64_t left = stream.figures.file_bytes_left;
    return left < stream.slice_left ? static_cast<int>(left) : stream.slice_left;
}

void piece_moved(transfer_direction* stream, int n) {
    file_moved(stream, n);
    slice_moved(stream, n);
}

void slice_moved(transfer_direction* stream, int n) {
    stream->stream_moved += n;
    stream->slice_left -= n;
    if (stream->slice_left != 0) return;
    stream->slice_left = SLICE_SIZE;
    stream->channel = stream->channel == CH_DATA_LAST ? CH_DATA_FIRST : stream->channel + 1;
}

void file_moved(transfer_direction* stream, int n) {
    transfer_figures& fig = stream->figures;
    fig.bytes_left = figure_add(fig.bytes_left, -n);
    fig.file_bytes_left -= n;
    fig.bytes_moved += n;
}

void stream_accept(transfer_direction* stream, file_entry* entry, int64_t offset) {
    transfer_figures& fig = stream->figures;
    if (fig.files_left == 0) {
        fig.total_files = 0;
        fig.total_bytes = 0;
    }
    entry->offset = offset;
    fig.files_left += 1;
    fig.total_files += 1;
    fig.total_bytes = figure_add(fig.total_bytes, entry->length);
    fig.bytes_left = figure_add(fig.bytes_left, entry->length - offset);
}

void stream_uncount(transfer_direction* stream, const file_entry* entry) {
    stream->figures.total_files -= 1;
    stream->figures.total_bytes = figure_add(stream->figures.total_bytes, -entry->length);
}

void stream_closed(transfer_direction* stream) {
    if (stream->fd != -1) close(stream->fd);
    stream->fd = -1;
    stream->figures.file_size = 0;
    stream->figures.file_bytes_left = 0;
}

void stream_restart(transfer_direction* stream) {
    stream->figures.files_left = 0;
    stream->figures.bytes_left = 0;
    stream->channel = CH_DATA_FIRST;
    stream->slice_left = SLICE_SIZE;
}

void announce(const session_features& features) {
    announcement.own = features;
    if (bench_no_extended()) announcement.own.extended = false;
}

void peer_announced(const session_features& features) {
    announcement.used = both_features(announcement.own, features);
    announcement.peer_opened = true;
    serve_large_files(announcement.used.extended);
}

bool peer_opened() { return announcement.peer_opened; }

void peer_gone() {
    announcement.used = session_features{};
    announcement.peer_opened = false;
}

// A BBS may scan new uploads by their dates: in door mode only when asked for.
bool apply_times_on() {
    return session.apply_times < 0 ? process.device_mode : session.apply_times != 0;
}

transfer_facts* facts_of(file_entry* entry) {
    if (entry->facts == nullptr) {
        void* block = malloc(sizeof(transfer_facts));
        if (block != nullptr) entry->facts = new (block) transfer_facts{};
    }
    return entry->facts;
}

const transfer_facts& facts(const file_entry* entry) {
    static const transfer_facts none;
    return entry->facts != nullptr ? *entry->facts : none;
}

// Weak: the benchmark build's own definitions take their place at link time.
[[gnu::weak]] bool bench_no_extended() { return false; }
[[gnu::weak]] bool bench_spoil_digest() { return false; }
