// Transfer rates, the status-area figures, the transfer log and result messages.
//
// Interface summary:
//   refresh_statistics ()   at most once per clock second: rates, the yell's beeps, figures
//   update_rates (rates, figures, n)
//   write_log_line (letter, entry, rate)   nothing when there is no log; failures ignored
//   show_next_result ()     at most one finished entry shown and freed
//   result_text (entry, message, detail, size) -> 1 when the entry's letter has a message
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

constexpr int rate_window_s = 60;
constexpr int rate_settle_s = 9;  // until this many seconds the current rate is the average

struct rate_state {
    int32_t rate_start = 0;
    int32_t window_start = 0;
    int64_t window_bytes = 0;
    int32_t average_rate = 0;
    int32_t current_rate = 0;
};

struct stats_state {
    // The transfer log, from the command line.
    const char* log_path = nullptr;
    int log_fd = -1;          // -1: no log
    int32_t line_speed = 0;   // -s: only written into log lines

    rate_state download;
    rate_state upload;
    time_t last_refresh_time = 0;
};

extern stats_state stats;

void refresh_statistics();
void update_rates(rate_state* rates, transfer_figures* figures, int64_t n);
void write_log_line(char letter, const file_entry* entry, int32_t rate);
void show_next_result();
int result_text(const file_entry* entry, const char** message, char* detail, size_t detail_size);
