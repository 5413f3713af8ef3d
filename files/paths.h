// Path operations shared by the whole system. Every buffer is sized by the caller; a path
// that does not fit is refused with -1, never cut short.
//
// Interface summary:
//   split_at_blank (text) -> second word, or null when there is no blank
//   split_path (path, dir, dir_size, name, name_size) -> 0, or -1 when a part does not fit
//   make_path (out, out_size, dir, name, extension) -> 0, or -1 when it does not fit
//   file_exists (path) -> 1/0 (a name from a case-blind system is tried in lower case too)
//   open_file (path, access, permissions) -> descriptor, or -1
//   has_wildcard (word) -> 1/0;  wild_match (name, pattern) -> 1 match, 0 none (either case)
#pragma once

#include <cstddef>

constexpr int NAME_PART_SIZE = 1024;  // directory or name part of a path
constexpr int PATH_SIZE = 2048;       // a joined path

char* split_at_blank(char* text);
int split_path(const char* path, char* directory, size_t directory_size, char* name,
               size_t name_size);
int make_path(char* out, size_t out_size, const char* directory, const char* name,
              const char* extension);
int file_exists(const char* path);
int open_file(const char* path, int access, int permissions);
int has_wildcard(const char* word);
int wild_match(const char* name, const char* pattern);
