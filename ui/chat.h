// The chat window's painter: chat lines, information lines and the help text. What goes
// over the line is session/chat.h's.
//
// Interface summary:
//   send_chat_line (text)         the typed line to the peer, shown in the window while the
//                                 peer has lines; a beep when refused; text emptied on return
//   show_chat_line (bytes, len)   word-wrapped line in the chat window, UTF-8 decoded
//   show_chat_bytes (bytes, len)  bytes as they came, then the prompt bar
//   show_info (text, detail), show_help_line (text), show_help ()
#pragma once

#include <cstdint>

void send_chat_line(char* text);
void show_chat_line(const uint8_t* bytes, int length);
void show_chat_bytes(const uint8_t* bytes, int length);
void show_info(const char* text, const char* detail);
void show_help_line(const char* text);
void show_help();
