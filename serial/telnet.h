// Telnet spoken on the raw connection (--telnet): a filter on bytes below the line seam.
// What the client sends comes in with its commands taken out; what we write goes out with
// 0xFF doubled. The link above sees the same byte stream as on a serial line.
//
// Interface summary:
//   telnet_start ()                  on: our offers (WILL ECHO, WILL SGA, WILL BINARY,
//                                    DO BINARY) queued for the client
//   telnet_input (bytes, n)          filters n bytes read in place; returns the data bytes
//                                    left at the front (0 to n); answers are queued
//   telnet_output (in, n, out, room, used)  encodes at most as much of in as fits into out;
//                                    *used := input bytes taken; returns bytes put in out
//   telnet_take_answers (out, room)  moves queued commands for the client into out; returns
//                                    how many
//   telnet_binary_refused ()         1 once the client refused BINARY either way: CR goes
//                                    out as CR NUL, 8-bit data will not pass
#pragma once

#include <cstdint>

// Telnet bytes (RFC 854, 856, 857, 858).
constexpr uint8_t TN_IAC = 0xFF;      // interpret as command; doubled, a data byte 0xFF
constexpr uint8_t TN_DONT = 0xFE;     // please do not use the option that follows
constexpr uint8_t TN_DO = 0xFD;       // please use the option that follows
constexpr uint8_t TN_WONT = 0xFC;     // I will not use it
constexpr uint8_t TN_WILL = 0xFB;     // I will use it
constexpr uint8_t TN_SB = 0xFA;       // start of a subnegotiation, up to IAC SE
constexpr uint8_t TN_SE = 0xF0;       // end of a subnegotiation
constexpr uint8_t TN_OPT_BINARY = 0;  // 8-bit data, no CR NUL
constexpr uint8_t TN_OPT_ECHO = 1;    // we echo: the client does not echo locally
constexpr uint8_t TN_OPT_SGA = 3;     // no go-ahead: full duplex
constexpr uint8_t TN_CR = 0x0D;       // outside binary mode followed by NUL (or LF)
constexpr uint8_t TN_NUL = 0x00;      // after CR outside binary mode: the CR alone

constexpr int TELNET_ANSWER_ROOM = 64;  // queued commands; more (a flood of requests) dropped

// Where the input filter is between two bytes: a command may be split across reads.
enum telnet_rx : uint8_t {
    TN_RX_DATA,     // plain data
    TN_RX_IAC,      // after IAC
    TN_RX_OPTION,   // after IAC WILL/WONT/DO/DONT: the option byte comes
    TN_RX_SUB,      // inside IAC SB ... : skipped
    TN_RX_SUB_IAC,  // IAC inside a subnegotiation: SE ends it
    TN_RX_CR,       // after a CR outside binary mode: a NUL that follows is dropped
};

// One side of an option: off, asked for and not yet answered, or on.
enum telnet_side : uint8_t { TN_NO, TN_WANT, TN_YES };

struct telnet_state {
    bool active = false;                       // --telnet: the filter runs
    uint8_t rx = TN_RX_DATA;                   // a telnet_rx
    uint8_t verb = 0;                          // WILL/WONT/DO/DONT awaiting its option byte
    uint8_t us_echo = TN_NO;                   // we echo (WILL ECHO)
    uint8_t us_sga = TN_NO;                    // we suppress go-ahead (WILL SGA)
    uint8_t us_binary = TN_NO;                 // we send 8-bit data (WILL BINARY, the client's DO)
    uint8_t him_binary = TN_NO;                // the client sends 8-bit data (DO BINARY, its WILL)
    bool binary_refused = false;               // the client said WONT or DONT BINARY
    uint8_t answers[TELNET_ANSWER_ROOM] = {};  // commands for the client, not yet written
    int answer_count = 0;
    int commands_taken = 0;   // commands removed from the input
    int answers_dropped = 0;  // commands not queued: no room
};

extern telnet_state telnet;

void telnet_start();
int telnet_input(uint8_t* bytes, int n);
int telnet_output(const uint8_t* in, int n, uint8_t* out, int room, int* used);
int telnet_take_answers(uint8_t* out, int room);
int telnet_binary_refused();
