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

}  // namespace

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
