// Text as the display shows it: characters decoded from UTF-8, bytes that are no UTF-8 taken
// as the Latin-1 letters they stand for, display widths, and word wrap counted in columns.
// Plain code over the locale's character tables; nothing here touches a window.
//
// Interface summary:
//   chat_filter (filter, byte) -> byte to pass on, or -1: CR and ESC ... 'm' are dropped;
//                         a line's end (CR or LF) ends a sequence left open
//   utf8_feed (decoder, byte, translate, out) -> characters now complete (0 to 4): a
//                         sequence that breaks off gives its bytes one by one as Latin-1
//                         letters, six code page 437 letters translated when asked
//   utf8_flush (decoder, translate, out) -> the bytes still held, as Latin-1 letters
//   is_c1 (code) -> true for the control characters 0x80-0x9F
//   shown_code (code) -> the code itself when the locale prints it, else '?'
//   column_width (code) -> columns it takes (0 for combining marks, 1 when not printable)
//   decode_line (bytes, length, out, max) -> characters of a received line, C1 dropped
//   wrap_piece (chars, remaining, width) -> characters in the next piece of a line wrapped
//                         at `width` columns (CHAT_WIDTH when 0 or less)
//   locale_to_utf8 (text, out, size) -> bytes of the locale's text as UTF-8
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int CHAT_WIDTH = 80;       // columns of a wrapped chat line when no window says
constexpr int WRAP_SEARCH_LOW = 39;  // a wrapped piece never ends before this column

struct utf8_decoder {
    uint8_t held[4] = {};  // the bytes of the sequence so far
    int count = 0;         // bytes of the sequence so far
    int need = 0;          // bytes the sequence takes
};

struct chat_char {
    uint32_t code = 0;  // the Unicode code point
    int width = 1;      // columns
};

int chat_filter(int* filter, uint8_t byte);
int utf8_feed(utf8_decoder* decoder, uint8_t byte, bool translate, uint32_t out[4]);
int utf8_flush(utf8_decoder* decoder, bool translate, uint32_t out[4]);
bool is_c1(uint32_t code);
uint32_t shown_code(uint32_t code);
int column_width(uint32_t code);
int decode_line(const uint8_t* bytes, int length, chat_char* out, int max);
int wrap_piece(const chat_char* chars, int remaining, int width = CHAT_WIDTH);
size_t locale_to_utf8(const char* text, char* out, size_t size);
