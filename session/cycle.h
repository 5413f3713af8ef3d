// The session's service cycle, the control channel and the end of the session.
//
// Interface summary:
//   service_cycle () -> 1 when a key is waiting, else 0
//   send_opening_block ()   once, before the first cycle
//   control_receiver ()     consumes receive channel 0
//   check_session_end ()    may end the process with the exit status
#pragma once

#include <cstdint>
#include <ctime>

// Channel plan.
constexpr int CH_CONTROL = 0;
constexpr int CH_STATUS = 1;
constexpr int CH_OFFERS = 2;
constexpr int CH_REQUESTS = 3;
constexpr int CH_CHAT_FIRST = 8;
constexpr int CH_CHAT_LAST = 15;
constexpr int CH_DATA_FIRST = 16;
constexpr int CH_DATA_LAST = 31;
constexpr int SLICE_SIZE = 1024;  // file data per data channel before moving to the next

constexpr int no_transfer_exit_s = 120;  // no automatic exit this soon without any transfer
constexpr int yell_beeps = 30;
constexpr int CONTROL_BUFFER_SIZE = 40;

constexpr char profile_order[] = "TSCMLH";

struct cycle_state {
    // Control receiver.
    uint8_t control_state = '*';
    uint8_t control_buffer[CONTROL_BUFFER_SIZE] = {};
    int control_pos = 0;
    uint8_t peer_block[4] = {};
    int8_t peer_columns = 80;
    int8_t peer_lines = -1;  // below 0: chat off
    char peer_text[CONTROL_BUFFER_SIZE] = "";
    int profile_echo_pending = 0;
    int yell_count = 0;

    // Session end.
    time_t last_activity_time = 0;
    int activity_seen = 0;
    time_t last_chat_time = 0;
};

extern cycle_state cycle;
extern const uint8_t own_block[4];

int service_cycle();
void send_opening_block();
void control_receiver();
void check_session_end();
