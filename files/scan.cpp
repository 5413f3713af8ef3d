// Names typed at the upload and download prompts, and wildcard expansion.
#include "files/scan.h"

#include <dirent.h>
#include <errno.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "files/lists.h"

namespace {

void for_each_word(const char* line, void (*apply)(const char* word)) {
    char word[WORD_SIZE];
    const char* position = line;
    while ((position = next_word(position, word, sizeof word)) != nullptr)
        if (word[0] != '\0') apply(word);
}

}  // namespace

void add_upload_words(const char* line) { for_each_word(line, expand_upload_word); }

void add_request_words(const char* line) {
    for_each_word(line, [](const char* word) { add_request_name(word); });
}

const char* next_word(const char* position, char* buffer, size_t buffer_size) {
    if (position == nullptr) return nullptr;
    while (*position == ' ') ++position;
    if (*position == '\0') return nullptr;
    const char* end = position;
    while (*end != '\0' && *end != ' ') ++end;
    size_t length = static_cast<size_t>(end - position);
    // A word that does not fit is passed over, not cut into another name.
    if (length >= buffer_size) length = 0;
    if (buffer_size > 0) {
        memcpy(buffer, position, length);
        buffer[length] = '\0';
    }
    return end;
}

// A typed name that gives nothing to send is never dropped in silence: it is noted, and the
// screen shows it.
void expand_upload_word(const char* word) {
    if (!has_wildcard(word)) {
        if (add_upload_name(word, 1) == 0) report_not_sent(word);
        return;
    }
    char directory[NAME_PART_SIZE];
    char pattern[NAME_PART_SIZE];
    if (split_path(word, directory, sizeof directory, pattern, sizeof pattern) != 0) {
        note_not_sent(word, "name too long");
        return;
    }
    // A bare pattern is matched in the current directory. Its matches are named
    // "./x" while search directories exist, or they would be looked up there.
    DIR* scan = opendir(directory[0] == '\0' ? "." : directory);
    if (scan == nullptr) {
        note_not_sent(word, strerror(errno));
        return;
    }
    const char* prefix = directory;
    if (directory[0] == '\0' && files.upload_dirs.head != nullptr) prefix = "./";
    int made = 0;
    while (const dirent* found = readdir(scan)) {
        if (strcmp(found->d_name, ".") == 0 || strcmp(found->d_name, "..") == 0) continue;
        if (!wild_match(found->d_name, pattern)) continue;
        char path[PATH_SIZE];
        if (make_path(path, sizeof path, prefix, found->d_name, nullptr) != 0) continue;
        made += add_upload_name(path, 1);
    }
    closedir(scan);
    if (made == 0) note_not_sent(word, "no file matches");
}
