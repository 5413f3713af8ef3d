#include "files/names.h"

#include <cstdio>
#include <cstring>

#include "serial/process.h"

namespace {

constexpr char UNSHOWN = '?';

struct code_range {
    uint32_t first;
    uint32_t last;
};
// Control characters (C0, DEL, C1) and the marks that reorder text on the screen.
constexpr code_range unsafe_ranges[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x061C, 0x061C},
    {0x200E, 0x200F}, {0x202A, 0x202E}, {0x2066, 0x2069},
};

// The character at p: its length in bytes and its code, or 0 when the bytes there are no
// UTF-8. A NUL is never a continuation byte, so nothing is read past a name's end.
int next_character(const uint8_t* p, uint32_t* code) {
    static constexpr uint8_t lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    int length = utf8_sequence_length(p[0]);
    if (length == 0) return 0;
    uint32_t value = p[0] & lead_bits[length];
    for (int i = 1; i < length; ++i) {
        if (!utf8_continues(p[0], i, p[i])) return 0;
        value = (value << 6) | (p[i] & 0x3Fu);
    }
    *code = value;
    return length;
}

// Code page 437 from 0x80 on: accented letters, currency, box drawing, Greek and symbols.
constexpr uint16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

}  // namespace

bool utf8_valid(const char* name) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
    while (*p != 0) {
        uint32_t code = 0;
        int n = next_character(p, &code);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

int cp437_to_utf8(char* out, size_t size, const char* name) {
    size_t used = 0;
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != 0; ++p) {
        uint32_t code = *p < 0x80 ? *p : cp437_high[*p - 0x80];
        char bytes[3];
        size_t n = 0;
        if (code < 0x80) {
            bytes[n++] = static_cast<char>(code);
        } else if (code < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | (code >> 6));
            bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xE0 | (code >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
        }
        if (used + n >= size) return -1;
        memcpy(out + used, bytes, n);
        used += n;
    }
    if (size == 0) return -1;
    out[used] = '\0';
    return static_cast<int>(used);
}

int utf8_sequence_length(uint8_t byte) {
    if (byte < 0x80) return 1;
    if (byte >= 0xC2 && byte <= 0xDF) return 2;
    if (byte >= 0xE0 && byte <= 0xEF) return 3;
    if (byte >= 0xF0 && byte <= 0xF4) return 4;
    return 0;
}

bool utf8_continues(uint8_t lead, int count, uint8_t byte) {
    if ((byte & 0xC0) != 0x80) return false;
    if (count != 1) return true;
    switch (lead) {
    case 0xE0: return byte >= 0xA0;
    case 0xED: return byte <= 0x9F;
    case 0xF0: return byte >= 0x90;
    case 0xF4: return byte <= 0x8F;
    default: return true;
    }
}

bool unsafe_character(uint32_t code) {
    for (const code_range& r : unsafe_ranges)
        if (code >= r.first && code <= r.last) return true;
    return false;
}

bool name_refused(const char* name) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
    while (*p != 0) {
        uint32_t code = 0;
        int n = next_character(p, &code);
        if (n > 0 && unsafe_character(code)) return true;
        p += n > 0 ? n : 1;
    }
    return false;
}

size_t printable_name(char* out, size_t size, const char* name) {
    if (size == 0) return 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(name);
    size_t used = 0;
    while (*p != 0) {
        uint32_t code = 0;
        int n = next_character(p, &code);
        bool shown = n > 0 && !unsafe_character(code);
        size_t count = shown ? static_cast<size_t>(n) : 1;
        if (used + count >= size) break;
        if (shown)
            memcpy(out + used, p, count);
        else
            out[used] = UNSHOWN;
        used += count;
        p += n > 0 ? n : 1;
    }
    out[used] = '\0';
    return used;
}

void report_name(const char* what, const char* name, const char* reason) {
    constexpr size_t shown_size = 2048;
    char shown[shown_size];
    printable_name(shown, sizeof shown, name);
    char subject[shown_size + 64];
    snprintf(subject, sizeof subject, "%s%s%s", what, what[0] != 0 ? " " : "", shown);
    console_reason(subject, reason);
}
