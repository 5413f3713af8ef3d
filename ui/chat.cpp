#include "ui/chat.h"

#include <cstring>

#include "link/channels.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "ui/screen.h"
#include "ui/text.h"

chat_state chat;

namespace {

constexpr uint8_t BYTE_END_OF_MESSAGE = 0;  // added by the link after a chat channel's last byte
constexpr uint8_t BYTE_LF = 10;
constexpr uint8_t BYTE_CR = 13;              // ends a typed line on the wire
constexpr int CHAT_CHANNELS = CH_CHAT_LAST - CH_CHAT_FIRST + 1;

void show_received_byte(uint8_t byte, int* shown) {
    if (cycle.peer_lines == 0) {
        chat_out(byte);
        ++*shown;
        return;
    }
    if (byte == BYTE_CR || byte == BYTE_LF) {
        show_chat_line(chat.chat_line_buffer, chat.chat_line_length);
        chat.chat_line_length = 0;
    } else if (chat.chat_line_length < CHAT_LINE_SIZE) {
        chat.chat_line_buffer[chat.chat_line_length++] = byte;
    }
}

}  // namespace

void chat_receive() {
    if (cycle.peer_lines < 0) return;
    int shown = 0;
    uint8_t byte;
    while (recv_read(chat.chat_rx_channel, &byte, 1) == 1) {
        if (byte == BYTE_END_OF_MESSAGE) {
            chat.chat_rx_channel = next_chat_channel(chat.chat_rx_channel);
            continue;
        }
        show_received_byte(byte, &shown);
    }
    if (shown > 0) draw_prompt_bar();
}

int chat_line_fits(int count) {
    int channel = chat.chat_tx_channel;
    if (send_has_unsent(channel) == 0) channel = next_chat_channel(channel);
    int room = 0;
    for (int taken = 0; taken < CHAT_CHANNELS; ++taken) {
        // Only the channel last written may still hold a message; every later one starts fresh.
        if (channel != chat.chat_tx_channel && send_queued(channel) != 0) return 0;
        room += send_room(channel);
        if (room >= count) return 1;
        channel = next_chat_channel(channel);
        if (channel == chat.chat_tx_channel) return 0;  // all eight taken: never write one twice
    }
    return 0;
}

void send_chat_line(char* text) {
    cycle.last_chat_time = serial.clock;
    if (cycle.peer_lines < 0) {
        sound_bell();
        text[0] = '\0';
        return;
    }
    // The text and its CR, as one message; the input line never holds more than this.
    uint8_t message[CHAT_LINE_SIZE + 2];
    int length = static_cast<int>(strnlen(text, CHAT_LINE_SIZE));
    memcpy(message, text, length);
    message[length] = BYTE_CR;
    int count = length + 1;
    if (chat_line_fits(count) == 0) {
        sound_bell();
        text[0] = '\0';
        return;
    }
    int written = 0;
    for (int turns = 0; written < count && turns <= CHAT_CHANNELS; ++turns) {
        if (send_has_unsent(chat.chat_tx_channel) == 0)
            chat.chat_tx_channel = next_chat_channel(chat.chat_tx_channel);
        written += send_write(chat.chat_tx_channel, message + written, count - written);
    }
    if (cycle.peer_lines > 0) show_chat_line(message, length);
    text[0] = '\0';
}

void show_chat_line(const uint8_t* bytes, int length) {
    if (!screen.screen_active) return;
    if (length > 0 && has_control_byte(bytes, length) != 0) {
        for (int i = 0; i < length; ++i) chat_out(bytes[i]);
        chat_out(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    if (length == 0) {
        chat_out(BYTE_LF);
        draw_prompt_bar();
        return;
    }
    int position = 0;
    while (position < length) {
        int piece = wrap_piece(bytes + position, length - position);
        for (int i = 0; i < piece; ++i) chat_out(bytes[position + i]);
        position += piece;
        if (position < length && bytes[position] == ' ') ++position;
        chat_out(BYTE_LF);
        draw_prompt_bar();
    }
}

void show_info(const char* text, const char* detail) {
    const char* parts[] = {" ", text, " (", detail, ")\n"};
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
