#include "session/chat.h"

#include <cstring>

#include "link/channels.h"
#include "serial/port.h"
#include "session/display.h"
#include "session/plan.h"
#include "session/transfer.h"

chat_state chat;

namespace {

constexpr uint8_t BYTE_END_OF_MESSAGE = 0;  // added by the link after a chat channel's last byte
constexpr uint8_t BYTE_LF = 10;
constexpr uint8_t BYTE_CR = 13;  // ends a typed line on the wire
constexpr int CHAT_CHANNELS = CH_CHAT_LAST - CH_CHAT_FIRST + 1;
constexpr int RAW_BATCH = 1024;  // bytes shown at once while the peer's lines are 0

}  // namespace

void chat_receive() {
    if (chat.peer_lines < 0) return;
    uint8_t raw[RAW_BATCH];
    int raw_count = 0;
    uint8_t byte;
    while (recv_read(chat.chat_rx_channel, &byte, 1) == 1) {
        if (byte == BYTE_END_OF_MESSAGE) {
            chat.chat_rx_channel = next_chat_channel(chat.chat_rx_channel);
        } else if (chat.peer_lines == 0) {  // a peer without lines: its bytes as they come
            if (raw_count == RAW_BATCH) {
                display.chat_bytes(raw, raw_count);
                raw_count = 0;
            }
            raw[raw_count++] = byte;
        } else if (byte == BYTE_CR || byte == BYTE_LF) {
            display.chat_line(chat.chat_line_buffer, chat.chat_line_length);
            chat.chat_line_length = 0;
        } else if (chat.chat_line_length < CHAT_LINE_SIZE) {
            chat.chat_line_buffer[chat.chat_line_length++] = byte;
        }
    }
    if (raw_count > 0) display.chat_bytes(raw, raw_count);
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

int chat_send(const char* text) {
    chat.last_chat_time = serial.clock;
    if (chat.peer_lines < 0) return 0;
    // The text and its CR, as one message; the input line never holds more than this.
    uint8_t message[CHAT_LINE_SIZE + 2];
    int length = static_cast<int>(strnlen(text, CHAT_LINE_SIZE));
    memcpy(message, text, length);
    message[length] = BYTE_CR;
    int count = length + 1;
    if (chat_line_fits(count) == 0) return 0;
    int written = 0;
    for (int turns = 0; written < count && turns <= CHAT_CHANNELS; ++turns) {
        if (send_has_unsent(chat.chat_tx_channel) == 0)
            chat.chat_tx_channel = next_chat_channel(chat.chat_tx_channel);
        written += send_write(chat.chat_tx_channel, message + written, count - written);
    }
    return 1;
}

int next_chat_channel(int channel) { return channel >= CH_CHAT_LAST ? CH_CHAT_FIRST : channel + 1; }

void set_chat_exit(int32_t seconds) {
    session.chat_idle_seconds = seconds;
    session.auto_exit_flags |= AUTO_EXIT_CHAT;
    chat.last_chat_time = 0 - seconds;  // no chat typed yet: the time counts from the start
}

bool chat_echoes_own_lines() { return chat.peer_lines > 0; }
