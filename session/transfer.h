// What the two sides of the file transfer share: the options, the status letters, the
// figures, the stream of file data each side moves, and the finished entries.
//
// Interface summary:
//   session                      the options the command line chose for the transfers
//   set_idle_exit (seconds)      -E: the session ends by itself after that long idle
//   set_session_option (option, value)  one of the command line's switches of session_options
//   auto_exit_on ()              true when the session ends by itself
//   activity                     when a transfer last moved, for the end of the session
//   note_activity ()             an offer was accepted, either way
//   finished_queue               entries with a final status letter, shown and freed by stats
//   finish_entry (entry, letter) sets the letter and appends the entry to finished_queue
//   write_status_letter (letter) one byte into send channel 1 (callers checked the room)
//   figure_add (figure, amount)  a 32-bit figure moved by amount, wrapping
//   run_stream (stream, piece, start_next)   a side's turn: pieces while `piece` moves them
//                                (PIECES_PER_CYCLE at most), then the next file when one is done
//   piece_size (stream)          bytes of the next piece: the slice's rest or the file's
//   piece_moved (stream, n)      n bytes of file data moved through the data channels: both
//                                of the next two
//   slice_moved (stream, n)      n bytes of the data stream moved through the data channels;
//                                a full slice moves on to the next data channel
//   file_moved (stream, n)       n bytes of the file counted in the figures
//   stream_accept (stream, entry, offset)  an accepted file counted in the figures
//   stream_closed (stream)       the current file's descriptor closed, its figures cleared
//   stream_restart (stream)      after an abort: the data channels from the first again,
//                                nothing of the batch left
//   announce (caps)              what our opening block announces (none: all zero, as a
//                                peer that knows nothing of them sends)
//   peer_announced (caps)        the peer's opening block came, announcing these
//   peer_opened ()               it came: offers may be sent and decided, both ways
//   both_announced (cap)         the capability is used: both blocks announced it
#pragma once

#include <cstdint>
#include <ctime>

#include "files/entries.h"
#include "session/plan.h"

// Set by the command line.
struct session_options {
    int accept_uploads = 1;      // 0: every offered file is refused
    int resume_check = 1;        // 0: no resuming of shorter files, no "already transferred"
    int rename_existing = 0;     // store an offered file whose name exists under a new name
    int overwrite_existing = 0;  // delete an existing file of an offered name and receive anew
    int delete_partial = 0;      // delete an incompletely received file when it is closed
    int delete_sent = 0;         // delete a sent file once the peer has it
    int log_refusals = 0;        // log lines for refused and failed files too
    int serve_requests = 0;      // serve the peer's download requests
    int compress = 1;            // --no-compress: 0, file data is never compressed
    int32_t idle_exit_seconds = 0;  // -E
    int32_t chat_idle_seconds = 0;  // -e
    int auto_exit_flags = 0;        // AUTO_EXIT_* bits; not 0: the session ends by itself
};

constexpr int AUTO_EXIT_IDLE = 1;  // -E: idle_exit_seconds without transfer activity
constexpr int AUTO_EXIT_CHAT = 2;  // -e: chat_idle_seconds without a local chat line

extern session_options session;

// When a transfer last moved, for the end of the session.
struct activity_state {
    time_t last_activity_time = 0;  // an offer accepted, or a file still moving
    int activity_seen = 0;          // an offer was accepted this run, either way
};

extern activity_state activity;

// Capabilities beyond the seed's, each used only when both opening blocks announced it.
constexpr uint8_t CAP_COMPRESS = 0x01;  // each file's data travels as one zstd frame

struct announcement_state {
    uint8_t own_caps = 0;      // what our opening block announces
    uint8_t peer_caps = 0;     // what the peer's announced
    bool peer_opened = false;  // the peer's opening block has come
};

extern announcement_state announcement;

// Status letters on channel 1: the receiving side's answers to offers and requests, and the
// abort exchange.
constexpr uint8_t ST_ACCEPTED = 'u';     // offer taken whole
constexpr uint8_t ST_RESUMED = 'r';      // offer taken from an offset: 4 bytes follow
constexpr uint8_t ST_EXISTS = 'e';       // refused: the name is taken
constexpr uint8_t ST_DUPLICATE = 'i';    // refused: a file of that name is on its way
constexpr uint8_t ST_REFUSED = 'q';      // refused: no uploads taken, or a malformed offer
constexpr uint8_t ST_TOO_MANY = 't';     // refused: no name, or no memory, for it
constexpr uint8_t ST_HAVE_IT = 'x';      // refused: the file is here already
constexpr uint8_t ST_CONFIRMED = 'c';    // the oldest file in transit arrived whole
constexpr uint8_t ST_SERVED = 'd';       // request served: its files come as offers
constexpr uint8_t ST_NOT_FOUND = 'm';    // request found no file
constexpr uint8_t ST_DENIED = 'p';       // requests are not served
constexpr uint8_t ST_ABORT_UPLOAD = 'b';    // the sender gave up its uploads
constexpr uint8_t ST_ABORT_DOWNLOAD = 'a';  // the receiver gave up its downloads
constexpr uint8_t ST_ABORT_SEEN = 'o';      // the peer's "b" was acted on

// Final letters of entries, never on the wire.
constexpr uint8_t ST_UPLOAD_ABORTED = '0';
constexpr uint8_t ST_READ_ERROR = '1';
constexpr uint8_t ST_OPEN_ERROR = '2';
constexpr uint8_t ST_SIZE_ERROR = '3';
constexpr uint8_t ST_DOWNLOAD_ABORTED = '4';
constexpr uint8_t ST_WRITE_ERROR = '5';
constexpr uint8_t ST_DOWNLOADS_DONE = 'D';
constexpr uint8_t ST_UPLOADS_DONE = 'U';
constexpr uint8_t STATUS_NAME_TOO_LONG = 'N';  // an offer or request that never fits whole

// Abort states of a side (its stream.abort_state).
constexpr int ABORT_NONE = 0;
constexpr int ABORT_TO_SEND = 1;  // our "a" or "b" waits for room on channel 1
constexpr int ABORT_SENT = 2;     // sent; nothing moves until the peer's "o"
constexpr int ABORT_TO_ACK = 3;   // receiving only: the peer's "b" was handled, "o" to send

// Figures of one direction, shown in its column of the status area.
struct transfer_figures {
    int32_t file_size = 0;
    int32_t file_bytes_left = 0;
    int32_t total_files = 0;
    int32_t total_bytes = 0;
    int32_t files_left = 0;
    int32_t bytes_left = 0;
    // Bytes taken from (or written into) the data channels in this run: the files of a
    // direction follow each other in this count, which places them for their rates.
    int64_t bytes_moved = 0;
};

constexpr int MAX_ANNOUNCED_NAME = OFFER_CHANNEL_SIZE - OFFER_HEADER_SIZE - 1;  // 503
constexpr int OFFER_MIN_ROOM = 256;    // offers are written only while this much is free
constexpr int REQUEST_MIN_ROOM = 256;  // likewise for requests

// File data pieces one side moves in one cycle at most: what the 16 data rings hold.
constexpr int PIECES_PER_CYCLE = 32;

// One side's stream of file data: the file being moved and where its next piece goes.
struct transfer_direction {
    file_entry* current = nullptr;  // the file being written (received) or read (sent)
    int fd = -1;                    // its descriptor; -1: no file open
    int channel = CH_DATA_FIRST;    // the data channel of the next piece
    int slice_left = SLICE_SIZE;    // bytes before the slice moves on to the next channel
    int abort_state = ABORT_NONE;   // the side's own abort exchange: ABORT_*
    bool squeezed = false;          // the current file's data is one zstd frame
    int64_t stream_moved = 0;       // bytes through the data channels in this run (compressed)
    transfer_figures figures;
};

// What moving one piece of file data came to.
enum class piece_result {
    stop,       // nothing more this cycle: no room or no data yet, the batch ended, or a failure
    moved,      // a piece moved and the file goes on
    file_done,  // the file is complete and the next one may be opened now
};

// Entries with a final status letter, shown one per main-loop turn and freed.
extern file_queue finished_queue;

void finish_entry(file_entry* entry, uint8_t letter);
void write_status_letter(uint8_t letter);
int32_t figure_add(int32_t figure, int64_t amount);
void set_idle_exit(int32_t seconds);
void set_session_option(int session_options::*option, int value);
bool auto_exit_on();
void note_activity();
void run_stream(transfer_direction* stream, piece_result (*piece)(), void (*start_next)());
int piece_size(const transfer_direction& stream);
void piece_moved(transfer_direction* stream, int n);
void slice_moved(transfer_direction* stream, int n);
void file_moved(transfer_direction* stream, int n);
void stream_accept(transfer_direction* stream, file_entry* entry, int32_t offset);
void stream_closed(transfer_direction* stream);
void stream_restart(transfer_direction* stream);
void announce(uint8_t caps);
void peer_announced(uint8_t caps);
bool peer_opened();
bool both_announced(uint8_t cap);
