// The chat window's painter: chat lines, information lines and the help text. What goes
// over the line is session/chat.h's.
//
// Interface summary:
//   send_chat_line (text)         the typed line to the peer, shown in the window while the
//                                 peer has lines; a beep when refused; text emptied on return
//   show_help_line (text), show_help ()
// (The chat window's painters, show_chat_line and show_info, are ui/screen.h's.)
#pragma once

#include <cstdint>

void send_chat_line(char* text);
void show_help_line(const char* text);
void show_help();
