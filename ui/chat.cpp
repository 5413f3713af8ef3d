#include "ui/chat.h"

#include <cstring>

#include "files/names.h"
#include "files/paths.h"
#include "serial/process.h"
#include "session/chat.h"
#include "ui/screen.h"
#include "ui/glyphs.h"
#include "ui/text.h"

namespace {

constexpr uint8_t BYTE_LF = 10;

}  // namespace

void send_chat_line(char* text) {
    if (chat_send(text) == 0)
        sound_bell();
    else if (chat_echoes_own_lines())
        show_chat_line(reinterpret_cast<const uint8_t*>(text), static_cast<int>(strnlen(text, CHAT_LINE_SIZE)));
    text[0] = '\0';
}

void show_chat_line(const uint8_t* bytes, int length) {
    if (!process.screen_active) return;
    if (length > 0 && has_control_byte(bytes, length) != 0) {
        for (int i = 0; i < length; ++i) chat_out(bytes[i]);
        chat_out(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    chat_char chars[CHAT_LINE_SIZE + 1];
    int count = decode_line(bytes, length, chars, CHAT_LINE_SIZE + 1);
    if (count == 0) {
        chat_put(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    int position = 0;
    while (position < count) {
        int piece = wrap_piece(chars + position, count - position);
        for (int i = 0; i < piece; ++i) chat_put(chars[position + i].code);
        position += piece;
        if (position < count && chars[position].code == ' ') ++position;
        chat_put(BYTE_LF);
        draw_prompt_bar();
    }
}

void show_chat_bytes(const uint8_t* bytes, int length) {
    for (int i = 0; i < length; ++i) chat_out(bytes[i]);
    draw_prompt_bar();
}

void show_info(const char* text, const char* detail) {
    char shown[PATH_SIZE];  // the detail is mostly a name, maybe the peer's
    printable_name(shown, sizeof shown, detail);
    const char* parts[] = {" ", text, " (", shown, ")\n"};
    paint_tagged_line("<INFO>", parts, 5);
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
