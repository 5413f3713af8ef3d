#include "files/lists.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/names.h"
#include "serial/process.h"

files_state files;

namespace {

constexpr int LIST_LINE_SIZE = 1024;  // one line of a list file, NUL included

// Directory nodes hold directory parts of paths, so they obey the same limit.
void append_directory(dir_list* list, const char* path) {
    size_t length = strlen(path);
    if (length >= static_cast<size_t>(NAME_PART_SIZE)) return;
    auto* node = static_cast<dir_node*>(malloc(offsetof(dir_node, path) + length + 1));
    if (node == nullptr) return;
    node->next = nullptr;
    memcpy(node->path, path, length + 1);
    if (list->tail == nullptr)
        list->head = node;
    else
        list->tail->next = node;
    list->tail = node;
}

bool is_directory_name(const char* name) {
    size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '/') return true;
    struct stat info;
    return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

// Looks for one regular file in one directory: 1 entry made, 0 none, -1 no memory.
int add_found_file(const char* directory, const char* name, int status) {
    char path[PATH_SIZE];
    if (make_path(path, sizeof path, directory, name, nullptr) != 0) return 0;
    struct stat info;
    // A peer's request never follows a link out of the directory: the link itself is
    // looked at. Names the local user gives are followed.
    if ((status == 0 ? lstat(path, &info) : stat(path, &info)) != 0) return 0;
    // Anything but a regular file would stall or abort the sending side on open.
    if (!S_ISREG(info.st_mode)) return 0;
    // The basic offer carries a signed 32-bit size: a peer that takes no more never hears of a
    // larger file it asked for. A local one is refused, with its message, at its offer.
    if (status == 0 && info.st_size > INT32_MAX && !files.large_files_served) return 0;
    file_entry* entry = new_entry(path);
    if (entry == nullptr) return -1;
    entry->status = static_cast<uint8_t>(status);
    entry->offset = 0;
    entry->time = dos_time(info.st_mtime);
    entry->date = dos_date(info.st_mtime);
    set_entry_length(entry, info.st_size);
    entry->mtime = info.st_mtime;
    entry->device = info.st_dev;
    entry->inode = info.st_ino;
    queue_append(&files.upload_queue, entry);
    return 1;
}

// Reads one line into the buffer, stripped of trailing blanks and control
// characters. A line too long for the buffer, or holding a NUL byte, is skipped
// whole (the buffer is left empty): cut short it would name some other file.
bool read_list_line(FILE* list, char* line, size_t size) {
    int next = getc(list);
    if (next == EOF) return false;
    size_t length = 0;
    bool unusable = false;
    for (; next != '\n' && next != EOF; next = getc(list)) {
        if (length + 1 >= size || next == '\0')
            unusable = true;
        else
            line[length++] = static_cast<char>(next);
    }
    if (unusable) length = 0;
    // Bytes from 0x80 up are kept: they end names written in UTF-8.
    while (length > 0 && static_cast<unsigned char>(line[length - 1]) <= ' ') --length;
    line[length] = '\0';
    return true;
}

// Why a local name gave nothing to send; false when the console was told when it was found.
bool why_not_sent(const char* name, char* out, size_t size) {
    struct stat info;
    bool here = stat(name, &info) == 0;
    if (!files.wildcards_allowed && strpbrk(name, "?*") != nullptr) {
        snprintf(out, size, "a wildcard name, and -k is given");
    } else if (here && S_ISDIR(info.st_mode)) {
        int length = static_cast<int>(strnlen(name, 60));
        if (length > 1 && name[length - 1] == '/') --length;
        snprintf(out, size, "a directory; %.*s/* names the files in it", length,
                 name);  // typed names only
    } else if (files.upload_dirs.head != nullptr && strchr(name, '/') == nullptr) {
        // A directory named earlier is where bare names are looked up: say which.
        const char* first = files.upload_dirs.head->path;
        const char* slash = first[0] != '\0' && first[strlen(first) - 1] != '/' ? "/" : "";
        int others = -1;
        for (const dir_node* node = files.upload_dirs.head; node != nullptr; node = node->next)
            ++others;
        int n = others == 0 ? snprintf(out, size, "not found in %.60s%s", first, slash)
                            : snprintf(out, size, "not found in %.60s%s nor %d more directories",
                                       first, slash, others);
        // The usual slip: the file is right here, and a directory named before it took over.
        if (n > 0 && static_cast<size_t>(n) < size && here)
            snprintf(out + n, size - static_cast<size_t>(n),
                     "; ./ before the name sends the one here");
    } else if (!here) {
        snprintf(out, size, "%s", strerror(errno));
    } else if (!S_ISREG(info.st_mode)) {
        snprintf(out, size, "not a regular file");
    } else {
        snprintf(out, size, "cannot be listed");
    }
    return true;
}

}  // namespace

void note_not_sent(const char* name, const char* reason) {
    if (files.unsent_count >= MAX_UNSENT) {
        ++files.unsent_more;
        return;
    }
    unsent_name& u = files.unsent[files.unsent_count++];
    snprintf(u.name, sizeof u.name, "%s", name);
    snprintf(u.reason, sizeof u.reason, "%s", reason);
}

void report_not_sent(const char* name) {
    char reason[UNSENT_REASON_SIZE];
    // The console is the user's until the screen starts; then only the info line tells.
    if (why_not_sent(name, reason, sizeof reason)) report_name("", name, reason);
    note_not_sent(name, reason);
}

void report_too_large(const char* path) {
    char shown[PATH_SIZE];
    printable_name(shown, sizeof shown, path);
    console_error("File too large: ");
    console_error(shown);
    console_error("\r\n");
    note_not_sent(path, TOO_LARGE_REASON);
}

void dir_list_free_all(dir_list* list) {
    while (dir_node* node = list->head) {
        list->head = node->next;
        free(node);
    }
    list->tail = nullptr;
}

namespace {

// A peer's wildcard request: the regular files of one served directory whose names match,
// none that begins with a dot, up to `room` of them. Returns the count, -1 without memory.
int add_matching_files(const char* directory, const char* pattern, int room) {
    DIR* dir = opendir(directory[0] != '\0' ? directory : ".");
    if (dir == nullptr) return 0;
    int count = 0;
    while (const dirent* item = readdir(dir)) {
        if (count == room) break;
        if (item->d_name[0] == '.' || !wild_match(item->d_name, pattern)) continue;
        int made = add_found_file(directory, item->d_name, 0);
        if (made < 0) {
            count = -1;
            break;
        }
        count += made;
    }
    closedir(dir);
    return count;
}

int find_requested_matches(const char* pattern) {
    if (files.upload_dirs.head == nullptr)
        return add_matching_files("", pattern, MAX_SERVED_MATCHES);
    int count = 0;
    for (const dir_node* node = files.upload_dirs.head; node != nullptr; node = node->next) {
        int made = add_matching_files(node->path, pattern, MAX_SERVED_MATCHES - count);
        if (made < 0) break;
        count += made;
    }
    return count;
}

int find_upload_files(const char* name, int status) {
    if (!files.wildcards_allowed && strpbrk(name, "?*") != nullptr) return 0;
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(name, directory, sizeof directory, base, sizeof base) != 0) return 0;
    if (status == 0) directory[0] = '\0';  // a peer chooses names, never directories
    if (directory[0] != '\0' || files.upload_dirs.head == nullptr)
        return add_found_file(directory, base, status) > 0 ? 1 : 0;
    int count = 0;
    for (const dir_node* node = files.upload_dirs.head; node != nullptr; node = node->next) {
        int made = add_found_file(node->path, base, status);
        if (made < 0) break;
        count += made;
    }
    return count;
}

}  // namespace

int add_upload_name(const char* name, int status) {
    // A local name is outstanding work even when it finds nothing; a peer's request that
    // finds nothing never made an upload.
    if (status != 0) exit_status_add(EXIT_UPLOADS_OUTSTANDING);
    int count = find_upload_files(name, status);
    if (count > 0) exit_status_add(EXIT_UPLOADS_OUTSTANDING);
    if (count == 0 && status != 0) files.upload_names_missing = 1;  // for the whole run
    return count;
}

int add_requested_files(const char* name, bool wildcards) {
    if (!wildcards || !files.wildcards_allowed || !has_wildcard(name))
        return add_upload_name(name, 0);
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(name, directory, sizeof directory, base, sizeof base) != 0) return 0;
    int count = find_requested_matches(base);  // the directory part is dropped, as ever
    if (count > 0) exit_status_add(EXIT_UPLOADS_OUTSTANDING);
    return count;
}

int add_request_name(const char* name) {
    file_entry* entry = new_entry(name);
    if (entry == nullptr) return 0;
    entry->status = 1;
    queue_append(&files.request_queue, entry);
    return 1;
}

int add_receive_name(const char* name) {
    files.receive_names_given = 1;
    exit_status_add(EXIT_DOWNLOADS_OUTSTANDING);
    file_entry* entry = new_entry(name);
    if (entry == nullptr) return 0;
    queue_append(&files.receive_names, entry);
    return 1;
}

void expand_argument(const char* argument, void (*apply)(const char* name)) {
    if (argument[0] != '@') {
        apply(argument);
        return;
    }
    const char* list_name = argument + 1;
    FILE* list = fopen(list_name, "r");
    if (list == nullptr) {
        char shown[PATH_SIZE];
        printable_name(shown, sizeof shown, list_name);
        console_error("File not found: ");
        console_error(shown);
        console_error("\n");
        end_run(EXIT_LIST_NOT_FOUND);
    }
    // Every line is one name as it stands: blanks, '@' and '-' included.
    char line[LIST_LINE_SIZE];
    while (read_list_line(list, line, sizeof line))
        if (line[0] != '\0') apply(line);
    fclose(list);
}

void add_argument_name(const char* name) {
    if (is_directory_name(name)) {
        if (files.name_mode == 'u')
            append_directory(&files.upload_dirs, name);
        else if (files.download_dir[0] == '\0') {
            // Too long for a directory part: refused rather than cut.
            if (strlen(name) < sizeof files.download_dir) strcpy(files.download_dir, name);
        } else
            append_directory(&files.extra_dirs, name);
        return;
    }
    switch (files.name_mode) {
    case 'd': add_receive_name(name); break;
    case 'r': add_request_name(name); break;
    default:
        if (add_upload_name(name, 1) == 0) report_not_sent(name);
        files.upload_dirs_used = 0;
        for (const dir_node* n = files.upload_dirs.head; n != nullptr; n = n->next)
            ++files.upload_dirs_used;
        break;
    }
}

void note_lone_directories() {
    int index = 0;
    for (const dir_node* n = files.upload_dirs.head; n != nullptr; n = n->next)
        if (index++ >= files.upload_dirs_used) report_not_sent(n->path);
}

void set_name_mode(char mode) { files.name_mode = mode; }

void forbid_wildcards() { files.wildcards_allowed = 0; }

void serve_trees() { files.trees_served = 1; }

void offer_first(file_queue* ahead) {
    while (file_entry* entry = queue_pop(&files.upload_queue)) queue_append(ahead, entry);
    files.upload_queue = *ahead;
    *ahead = file_queue{};
}

void serve_large_files(bool on) { files.large_files_served = on ? 1 : 0; }
