// Names as people see them: decoded as UTF-8, and kept free of the characters that would
// steer a terminal or turn text around, so that no name a peer chose reaches a screen, a
// message or the transfer log raw. The same rules hold in every place a name is shown.
//
// Interface summary:
//   utf8_sequence_length (lead) -> bytes of the sequence the byte starts (1 for ASCII), 0
//                         for a byte that starts none (continuation bytes, C0, C1, F5-FF)
//   utf8_continues (lead, count, byte) -> whether the byte goes on a sequence of which
//                         count bytes are held; the second byte also rules out overlong
//                         forms, surrogates and code points past U+10FFFF
//   unsafe_character (code) -> true for U+0000-001F, U+007F-009F, U+061C, U+200E-200F,
//                         U+202A-202E and U+2066-2069
//   name_refused (name) -> true when a character of it is unsafe (bytes that are no UTF-8
//                         are shown as '?', not refused)
//   printable_name (out, size, name) -> bytes written: every unsafe character and every
//                         byte that is no UTF-8 as '?'; cut before a character that does
//                         not fit
//   utf8_valid (name) -> true when every byte of it belongs to a UTF-8 character
//   cp437_to_utf8 (out, size, name) -> bytes written: the name read as code page 437 (the
//                         old BBS names), in UTF-8; -1 when it does not fit
//   report_name (what, name, reason)  "kestro: WHAT NAME: REASON" on standard error, the
//                         name as printable_name shows it (what may be empty)
#pragma once

#include <cstddef>
#include <cstdint>

int utf8_sequence_length(uint8_t lead);
bool utf8_continues(uint8_t lead, int count, uint8_t byte);
bool unsafe_character(uint32_t code);
bool name_refused(const char* name);
size_t printable_name(char* out, size_t size, const char* name);
bool utf8_valid(const char* name);
int cp437_to_utf8(char* out, size_t size, const char* name);
void report_name(const char* what, const char* name, const char* reason);
