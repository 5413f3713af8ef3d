// Transfer rates and the transfer log.
//
// Interface summary:
//   update_rates (rates, figures, n)   a direction's two rates, n its bytes that crossed
//   rates_accept (rates, entry)        places an accepted file in its direction's stream
//   rates_restart (rates, figures)     after an abort emptied the direction's data channels
//   stream_grew (stream, rates, later, extra)  the current file carries `extra` more bytes
//                           than accepted (the whole file instead of a resume: its offset;
//                           nothing: minus what was left): the bytes left, and the places of
//                           the files accepted after it (queue `later`), follow
//   file_rate (rates, entry, whole) -> the file's rate for its log line: its bytes that
//                           crossed (all of them when whole) over the time since its first
//                           byte; the direction's average when it has no byte to cross
//                           or none has crossed yet
//   file_completed (rates, entry) -> file_rate of a whole file, counted for the summary
//   run_totals (rates, bytes, rate)    the run so far: bytes that crossed, and their rate
//   write_log_line (letter, entry, rate)   nothing when there is no log; failures ignored
//   format_saving (out, size, file_bytes, stream_bytes)   "x4.1": the file bytes the line's
//                           bytes held while compressed ("x0.99" below one); "" before
//                           there are any
//   format_done_left (out, size, figures, bytes_left, rate)   a direction's batch as the
//                           screen's "Done, left" row shows it: "45% 1:05" (share of its
//                           bytes that crossed, time left at that rate; "--:--" without
//                           one), "-" with no batch. The rate to give is the current one:
//                           the bytes to come go as the latest did, not as the batch's
//                           compressible start went
//   set_log_path (path), set_line_speed (bps)   -z, and -s (or --speed) for the log lines
//   open_transfer_log ()    the -z file, truncated; when it cannot be opened the console
//                           says why and the run goes on without a log
//   close_transfer_log ()   closes it, if open
//   format_seconds (out, size, seconds) "M:SS" or "H:MM:SS", "--:--" when below 0
//
// A rate is bytes that crossed the line over a time that holds all of their crossing, so
// it never exceeds what the line carried: a download counts the bytes landed in the
// receive channels, an upload the bytes the peer acknowledged, and the time starts no
// later than the first of them could have begun to cross (see watch_line, session/figures.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "files/entries.h"
#include "session/transfer.h"

// Letters of the log lines.
constexpr char LOG_RECEIVED = 'S';
constexpr char LOG_SENT = 's';
constexpr char LOG_DOWNLOAD_FAILED = 'E';  // not received, or refused (-X)
constexpr char LOG_UPLOAD_FAILED = 'e';    // not sent, or refused by the peer

// "Current cps" (the screen's only): the bytes of about the last five seconds, refreshed
// every second; 0 once nothing crossed for that long. Long enough to hold several blocks
// at 9600 baud, short enough to show a stall.
constexpr int64_t current_window_ms = 5000;
constexpr int FLOW_SAMPLES = 64;  // one a second: more than a window needs, with room

constexpr int DONE_TEXT_SIZE = 24;           // "100% 99:59:59" and its NUL, with room
constexpr int64_t max_time_left_s = 359999;  // 99:59:59: a longer estimate shows "--:--"

// Where a direction's bytes stood at one look: `lead` of them had crossed by `ms`.
struct flow_sample {
    int64_t lead = 0;
    int64_t ms = 0;
};

struct rate_state {
    // The batch: its clock starts when its first byte may have begun to cross.
    int64_t rate_start_ms = 0;  // 0: nothing of the batch has moved
    int64_t batch_base = 0;     // the batch's first byte in the stream
    int32_t average_rate = 0;   // "Average cps", and the log's rate of a file without one
    int32_t current_rate = 0;   // "Current cps", over current_window_ms

    // The stream of file bytes, looked at every service cycle.
    int64_t accepted = 0;    // bytes of the files accepted so far: the next file's place
    int64_t lead = 0;        // bytes landed (download) or put into frames (upload)
    int64_t lead_ms = 0;     // until this moment no byte beyond `lead` had begun to cross
    int64_t crossed = 0;     // bytes landed (download) or acknowledged by the peer (upload)
    int64_t crossed_ms = 0;  // when `crossed` last grew
    int64_t last_look_ms = 0;
    flow_sample samples[FLOW_SAMPLES];  // oldest first: the front is the newest one from
    int sample_count = 0;               // where the current rate's window may start

    // Download while compressed: the file bytes written and the compressed bytes that held
    // them, at the last point where the two meet (a flush of the sender's, a frame's end).
    int64_t marked_file = 0;
    int64_t marked_stream = 0;

    // The run so far, for the summary.
    int32_t files_done = 0;
    int64_t run_bytes = 0;
    int64_t run_ms = 0;
};

struct stats_state {
    // The transfer log, from the command line.
    const char* log_path = nullptr;
    int log_fd = -1;  // -1: no log
    int32_t line_speed =
        0;  // -s (or --speed): written into log lines; tells the compressor the line's pace

    rate_state download;
    rate_state upload;
    time_t last_refresh_time = 0;
    bool figures_due = false;  // a current file changed: its figures follow in this cycle
};

extern stats_state stats;

void update_rates(rate_state* rates, const transfer_figures* figures, int64_t n);
void rates_accept(rate_state* rates, file_entry* entry);
void rates_restart(rate_state* rates, const transfer_figures* figures);
void stream_grew(transfer_direction* stream, rate_state* rates, file_queue* later, int64_t extra);
int32_t file_rate(const rate_state* rates, const file_entry* entry, bool whole);
int32_t file_completed(rate_state* rates, const file_entry* entry);
void run_totals(const rate_state* rates, int64_t* bytes, int32_t* rate);
void write_log_line(char letter, const file_entry* entry, int32_t rate);
void format_done_left(char* out, size_t size, const transfer_figures& figures, int64_t bytes_left,
                      int32_t rate);
void format_saving(char* out, size_t size, int64_t file_bytes, int64_t stream_bytes);
void format_seconds(char* out, size_t size, int64_t seconds);
void set_log_path(const char* path);
void set_line_speed(int32_t bps);
void open_transfer_log();
void close_transfer_log();
