#include "files/paths.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>

char* split_at_blank(char* text) {
    char* blank = strchr(text, ' ');
    if (blank == nullptr) return nullptr;
    *blank++ = '\0';
    while (*blank == ' ') ++blank;
    return blank;
}

int split_path(const char* path, char* directory, size_t directory_size, char* name,
               size_t name_size) {
    const char* slash = strrchr(path, '/');
    size_t directory_length = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    size_t name_length = strlen(path + directory_length);
    if (directory_length >= directory_size || name_length >= name_size) {
        if (directory_size > 0) directory[0] = '\0';
        if (name_size > 0) name[0] = '\0';
        return -1;
    }
    memcpy(directory, path, directory_length);
    directory[directory_length] = '\0';
    memcpy(name, path + directory_length, name_length + 1);
    return 0;
}

int make_path(char* out, size_t out_size, const char* directory, const char* name,
              const char* extension) {
    size_t directory_length = strlen(directory);
    bool separator = directory_length > 0 && directory[directory_length - 1] != '/';
    size_t name_length = strlen(name);
    size_t extension_length = extension == nullptr ? 0 : strlen(extension);
    size_t total = directory_length + (separator ? 1 : 0) + name_length + extension_length;
    if (total >= out_size) {
        if (out_size > 0) out[0] = '\0';
        return -1;
    }
    char* end = out;
    memcpy(end, directory, directory_length);
    end += directory_length;
    if (separator) *end++ = '/';
    memcpy(end, name, name_length);
    end += name_length;
    if (extension_length > 0) memcpy(end, extension, extension_length);
    end[extension_length] = '\0';
    return 0;
}

int file_exists(const char* path) {
    struct stat info;
    if (stat(path, &info) == 0) return 1;
    // Names that came from a case-blind system are tried once more in lower case.
    char lowered[PATH_SIZE];
    size_t length = strlen(path);
    if (length >= sizeof lowered) return 0;
    memcpy(lowered, path, length + 1);
    char* slash = strrchr(lowered, '/');
    bool changed = false;
    for (char* c = slash == nullptr ? lowered : slash + 1; *c != '\0'; ++c) {
        char lower = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
        changed |= lower != *c;
        *c = lower;
    }
    return changed && stat(lowered, &info) == 0 ? 1 : 0;
}

int open_file(const char* path, int access, int permissions) {
    return open(path, access, permissions);
}

namespace {

int fold(char c) { return tolower(static_cast<unsigned char>(c)); }

}  // namespace

int has_wildcard(const char* word) { return strpbrk(word, "*?") != nullptr ? 1 : 0; }

// '*' takes any run of characters, '?' exactly one, letters match in either
// case. On a mismatch the pattern resumes after the last star with that star
// taking one more character, which needs no recursion and stays quadratic at
// worst: a typed pattern can never stall the line.
int wild_match(const char* name, const char* pattern) {
    const char* star_resume = nullptr;  // pattern just after the last star
    const char* star_taken = nullptr;   // end of what that star takes so far
    while (*name != '\0') {
        if (*pattern == '*') {
            while (*pattern == '*') ++pattern;
            if (*pattern == '\0') return 1;
            star_resume = pattern;
            star_taken = name;
        } else if (*pattern != '\0' && (*pattern == '?' || fold(*pattern) == fold(*name))) {
            ++pattern;
            ++name;
        } else if (star_resume != nullptr) {
            pattern = star_resume;
            name = ++star_taken;
        } else {
            return 0;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0' ? 1 : 0;
}
