// Chat over channels 8 to 15, information lines and the help text.
//
// Interface summary:
//   chat_receive ()               once per service cycle
//   send_chat_line (text)         text emptied on return; refused with a beep when no room
//   chat_line_fits (count) -> 1 when the chat channels take count bytes as one message
//   show_chat_line (bytes, len)   word-wrapped line in the chat window
//   show_info (text, detail), show_help_line (text), show_help ()
#pragma once

#include <cstdint>

constexpr int CHAT_LINE_SIZE = 1023;
constexpr int CHAT_WIDTH = 80;

struct chat_state {
    int chat_rx_channel = 8;
    int chat_tx_channel = 15;
    uint8_t chat_line_buffer[CHAT_LINE_SIZE] = {};
    int chat_line_length = 0;
};

extern chat_state chat;

void chat_receive();
void send_chat_line(char* text);
int chat_line_fits(int count);
void show_chat_line(const uint8_t* bytes, int length);
void show_info(const char* text, const char* detail);
void show_help_line(const char* text);
void show_help();
