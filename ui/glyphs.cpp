#include "ui/glyphs.h"

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "files/names.h"

namespace {

// Named bytes of the chat stream.
constexpr uint8_t BYTE_LF = 10;
constexpr uint8_t BYTE_CR = 13;   // dropped: the peer ends lines with CR, we scroll on LF
constexpr uint8_t BYTE_ESC = 27;  // starts a colour sequence, dropped up to its 'm'
constexpr uint32_t BLANK = ' ';
constexpr uint32_t UNSHOWN = '?';  // a character the locale cannot print

// Code page 437 letters the peer may send, and their ISO 8859-1 equivalents.
struct translation {
    uint8_t from;
    uint8_t to;
};
constexpr translation cp437_to_latin1[] = {
    {0x84, 0xE4},  // a umlaut
    {0x86, 0xE5},  // a ring
    {0x8E, 0xC4},  // A umlaut
    {0x8F, 0xC5},  // A ring
    {0x94, 0xF6},  // o umlaut
    {0x99, 0xD6},  // O umlaut
};

// A byte outside any UTF-8 sequence: the Latin-1 letter of that number.
uint32_t latin1(uint8_t byte, bool translate) {
    if (translate)
        for (const translation& t : cp437_to_latin1)
            if (t.from == byte) return t.to;
    return byte;
}

uint32_t assemble(const utf8_decoder& d) {
    static constexpr uint8_t lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t code = d.held[0] & lead_bits[d.need];
    for (int i = 1; i < d.need; ++i) code = (code << 6) | (d.held[i] & 0x3Fu);
    return code;
}

int encode_utf8(uint32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

}  // namespace

int chat_filter(int* filter, uint8_t byte) {
    // A sequence never reaches past its line: one left open would swallow the lines after it.
    if (byte == BYTE_CR || byte == BYTE_LF) *filter = 0;
    if (byte == BYTE_CR) return -1;
    if (*filter != 0) {
        if (byte == 'm') *filter = 0;
        return -1;
    }
    if (byte == BYTE_ESC) {
        *filter = 1;
        return -1;
    }
    return byte;
}

int utf8_flush(utf8_decoder* d, bool translate, uint32_t out[4]) {
    int n = 0;
    for (int i = 0; i < d->count; ++i) out[n++] = latin1(d->held[i], translate);
    d->count = 0;
    d->need = 0;
    return n;
}

int utf8_feed(utf8_decoder* d, uint8_t byte, bool translate, uint32_t out[4]) {
    int n = 0;
    if (d->count > 0) {
        if (utf8_continues(d->held[0], d->count, byte)) {
            d->held[d->count++] = byte;
            if (d->count < d->need) return 0;
            out[0] = assemble(*d);
            d->count = 0;
            d->need = 0;
            return 1;
        }
        n = utf8_flush(d, translate, out);  // broken off: its bytes stand alone
    }
    int length = utf8_sequence_length(byte);
    if (length == 1) {
        out[n++] = byte;
    } else if (length == 0) {
        out[n++] = latin1(byte, translate);
    } else {
        d->held[0] = byte;
        d->count = 1;
        d->need = length;
    }
    return n;
}

bool is_c1(uint32_t code) { return code >= 0x80 && code <= 0x9F; }

uint32_t shown_code(uint32_t code) {
    if (code < 0x80) return code;
    return iswprint(static_cast<wint_t>(code)) ? code : UNSHOWN;
}

int column_width(uint32_t code) {
    int width = wcwidth(static_cast<wchar_t>(shown_code(code)));
    return width < 0 ? 1 : width;
}

int decode_line(const uint8_t* bytes, int length, chat_char* out, int max) {
    utf8_decoder decoder;
    uint32_t codes[4];
    int count = 0;
    auto keep = [&](int n) {
        for (int i = 0; i < n && count < max; ++i)
            if (!is_c1(codes[i])) out[count++] = chat_char{codes[i], column_width(codes[i])};
    };
    for (int i = 0; i < length; ++i) keep(utf8_feed(&decoder, bytes[i], true, codes));
    keep(utf8_flush(&decoder, true, codes));
    return count;
}

int wrap_piece(const chat_char* chars, int remaining, int width) {
    if (width <= 0) width = CHAT_WIDTH;
    int fit = 0;
    int columns = 0;
    while (fit < remaining && columns + chars[fit].width <= width) columns += chars[fit++].width;
    if (fit == remaining) return remaining;
    if (fit == 0) return 1;  // a character wider than a line goes alone
    if (chars[fit].code == BLANK) return fit;
    for (int i = fit - 1; i >= 0; --i) {
        columns -= chars[i].width;  // the column where character i starts
        if (columns < WRAP_SEARCH_LOW) break;
        if (chars[i].code == BLANK) return i;
    }
    return fit;
}

size_t locale_to_utf8(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    mbstate_t state{};
    size_t length = strlen(text);
    size_t at = 0;
    size_t used = 0;
    while (at < length) {
        wchar_t wide = 0;
        size_t n = mbrtowc(&wide, text + at, length - at, &state);
        uint32_t code = static_cast<uint32_t>(wide);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            code = static_cast<uint8_t>(text[at]);  // not the locale's: taken as Latin-1
            n = 1;
            state = mbstate_t{};
        }
        char bytes[4];
        int count = encode_utf8(code, bytes);
        if (used + static_cast<size_t>(count) >= size) break;  // never half a character
        memcpy(out + used, bytes, static_cast<size_t>(count));
        used += static_cast<size_t>(count);
        at += n;
    }
    out[used] = '\0';
    return used;
}
