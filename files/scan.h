// Names typed at the upload and download prompts, and wildcard expansion.
//
// Interface summary:
//   add_upload_words (line), add_request_words (line)   each word of a typed line
//   next_word (position, buffer, buffer_size) -> position after the word, or null;
//                              a word that does not fit leaves the buffer empty
//   expand_upload_word (word)
//   has_wildcard, wild_match: in files/paths.h
#pragma once

#include <cstddef>

#include "files/paths.h"

constexpr int WORD_SIZE = 512;

void add_upload_words(const char* line);
void add_request_words(const char* line);
const char* next_word(const char* position, char* buffer, size_t buffer_size);
void expand_upload_word(const char* word);
