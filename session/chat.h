// Chat on channels 8 to 15: a message goes whole into the channels taken in turn, the link
// closes each channel's part with a zero, and a typed line ends with CR.
//
// Interface summary:
//   chat_receive ()              once per service cycle: the peer's chat to the display
//   chat_send (text) -> 1 written as one message, 0 refused (chat off, or no room);
//                                the local chat time is noted either way
//   chat_line_fits (count) -> 1 when the chat channels take count bytes as one message
//   next_chat_channel (channel) -> 8 after 15
//   set_chat_exit (seconds)      -e: the session ends once no chat line was typed that long
//   chat_echoes_own_lines ()     true when the peer shows lines: our own lines are shown here too
#pragma once

#include <cstdint>
#include <ctime>

constexpr int CHAT_LINE_SIZE = 1023;  // a typed line, and a received line kept for wrapping

struct chat_state {
    int chat_rx_channel = 8;   // the channel the peer's chat is read from now
    int chat_tx_channel = 15;  // the channel last written: a message may still be in it
    uint8_t chat_line_buffer[CHAT_LINE_SIZE] = {};  // the peer's line being received
    int chat_line_length = 0;
    int8_t peer_lines = -1;     // the peer's screen lines: below 0 chat off, 0 bytes as they come
    time_t last_chat_time = 0;  // when a chat line was last typed here
};

extern chat_state chat;

void chat_receive();
int chat_send(const char* text);
int chat_line_fits(int count);
int next_chat_channel(int channel);
void set_chat_exit(int32_t seconds);
bool chat_echoes_own_lines();
