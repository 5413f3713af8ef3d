#include "ui/chat.h"

#include <cstring>

#include "serial/process.h"
#include "session/chat.h"
#include "ui/screen.h"

void send_chat_line(char* text) {
    if (chat_send(text) == 0)
        sound_bell();
    else if (chat_echoes_own_lines())
        show_chat_line(reinterpret_cast<const uint8_t*>(text),
                       static_cast<int>(strnlen(text, CHAT_LINE_SIZE)));
    text[0] = '\0';
}

void show_help_line(const char* text) {
    const char* parts[] = {" ", text, "\n"};
    paint_tagged_line("<HELP>", parts, 3);
}

void show_help() {
    show_help_line("Orvane Kestro driver V1.0 for Linux");
    show_help_line("");
    show_help_line("^A -> Help        ^D -> Add to DL request      ^U -> Add to UL request");
    show_help_line("^Y -> Yell        ^N -> Turn on/off bell       ^L -> Redraw screen");
    show_help_line("^X -> Exit");
}
