// Chat on channels 8 to 15: a message goes whole into the channels taken in turn, the link
// closes each channel's part with a zero, and a typed line ends with CR.
//
// Interface summary:
//   chat_receive ()              once per service cycle: the peer's chat to the display
//   chat_send (text) -> 1 written as one message, 0 refused (chat off, or no room);
//                                the local chat time is noted either way
//   chat_line_fits (count) -> 1 when the chat channels take count bytes as one message
//   next_chat_channel (channel) -> 8 after 15
#pragma once

#include <cstdint>

constexpr int CHAT_LINE_SIZE = 1023;  // a typed line, and a received line kept for wrapping

struct chat_state {
    int chat_rx_channel = 8;
    int chat_tx_channel = 15;
    uint8_t chat_line_buffer[CHAT_LINE_SIZE] = {};
    int chat_line_length = 0;
};

extern chat_state chat;

void chat_receive();
int chat_send(const char* text);
int chat_line_fits(int count);
int next_chat_channel(int channel);
