// Whole directory trees, listed for sending and made on receiving.
#include "files/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/lists.h"
#include "files/names.h"
#include "serial/process.h"

namespace {

// The tree being listed: its real path, so a link can be told to stay inside it or not.
struct tree_walk {
    char root[PATH_MAX] = "";
    size_t root_length = 0;
    int made = 0;
};

void skip(const std::string& local, const char* reason) {
    char why[UNSENT_REASON_SIZE];
    snprintf(why, sizeof why, "%s: not sent", reason);
    console_reason(local.c_str(), why);
    note_not_sent(local.c_str(), reason);
}

// One entry for the tree: a file (the link's target's figures for a link) or a directory
// that would not arrive otherwise. 0 when memory ran out.
int add_entry(const std::string& local, const std::string& relative, const struct stat& info) {
    bool directory = S_ISDIR(info.st_mode);
    std::string alias = directory ? relative + "/" : relative;
    file_entry* entry = new_entry_with_alias(local.c_str(), alias.c_str());
    if (entry == nullptr) return 0;
    entry->status = 1;
    entry->tree = 1;
    entry->time = dos_time(info.st_mtime);
    entry->date = dos_date(info.st_mtime);
    set_entry_length(entry, directory ? 0 : info.st_size);
    entry->mtime = info.st_mtime;
    entry->device = info.st_dev;
    entry->inode = info.st_ino;
    entry->executable = !directory && (info.st_mode & S_IXUSR) != 0;
    queue_append(&files.upload_queue, entry);
    return 1;
}

// A link is followed only to a regular file inside the tree: anything else could send what
// lies outside it, or loop.
int add_link(tree_walk* walk, const std::string& local, const std::string& relative) {
    char target[PATH_MAX];
    if (realpath(local.c_str(), target) == nullptr) {
        skip(local, "a link to nothing");
        return 0;
    }
    const char after = target[walk->root_length];
    if (strncmp(target, walk->root, walk->root_length) != 0 || (after != '/' && after != '\0')) {
        skip(local, "a link out of the tree");
        return 0;
    }
    struct stat info;
    if (stat(target, &info) != 0) {
        skip(local, strerror(errno));
        return 0;
    }
    if (!S_ISREG(info.st_mode)) {
        skip(local, S_ISDIR(info.st_mode) ? "a link to a directory" : "a link to a special file");
        return 0;
    }
    return add_entry(local, relative, info);
}

std::vector<std::string> sorted_names(const std::string& local) {
    std::vector<std::string> names;
    DIR* dir = opendir(local.c_str());
    if (dir == nullptr) {
        skip(local, strerror(errno));
        return names;
    }
    while (const dirent* found = readdir(dir))
        if (strcmp(found->d_name, ".") != 0 && strcmp(found->d_name, "..") != 0)
            names.emplace_back(found->d_name);
    closedir(dir);
    // Byte order: names that differ only in case are two names, side by side.
    std::sort(names.begin(), names.end());
    return names;
}

// Lists what lies under one directory of the tree (`depth` components in its relative
// path); returns the entries made there, so an empty directory gets one of its own.
int walk_directory(tree_walk* walk, const std::string& local, const std::string& relative,
                   int depth) {
    int made = 0;
    for (const std::string& name : sorted_names(local)) {
        std::string child = local + "/" + name;
        std::string child_relative = relative + "/" + name;
        if (name_refused(name.c_str())) {
            skip(child, "a name the peer would refuse");
            continue;
        }
        if (child_relative.size() > static_cast<size_t>(TREE_PATH_MAX)) {
            skip(child, "its path is too long for an offer");
            continue;
        }
        if (depth + 1 > TREE_MAX_DEPTH) {
            skip(child, "more than 32 levels deep");
            continue;
        }
        struct stat info;
        if (lstat(child.c_str(), &info) != 0) {
            skip(child, strerror(errno));
        } else if (S_ISDIR(info.st_mode)) {
            // Its record follows what lies in it: its time is set once they are written.
            made += walk_directory(walk, child, child_relative, depth + 1);
            made += add_entry(child, child_relative, info);
        } else if (S_ISREG(info.st_mode)) {
            made += add_entry(child, child_relative, info);
        } else if (S_ISLNK(info.st_mode)) {
            made += add_link(walk, child, child_relative);
        } else {
            skip(child, "a special file");
        }
    }
    return made;
}

}  // namespace

int add_tree(const char* directory) {
    exit_status_add(EXIT_UPLOADS_OUTSTANDING);
    tree_walk walk;
    struct stat info;
    std::string local = directory;
    while (local.size() > 1 && local.back() == '/') local.pop_back();
    const char* why = nullptr;
    if (realpath(local.c_str(), walk.root) == nullptr || stat(walk.root, &info) != 0)
        why = strerror(errno);
    else if (!S_ISDIR(info.st_mode))
        why = "not a directory";
    else if (strcmp(walk.root, "/") == 0)
        why = "the root directory: name one below it";
    if (why != nullptr) {
        skip(local, why);
        files.upload_names_missing = 1;
        return 0;
    }
    walk.root_length = strlen(walk.root);
    // The tree arrives under its own name, whatever it was called here ("." included).
    std::string base = strrchr(walk.root, '/') + 1;
    if (name_refused(base.c_str()) || base.size() > static_cast<size_t>(TREE_PATH_MAX)) {
        skip(local, "a name the peer would refuse");
        files.upload_names_missing = 1;
        return 0;
    }
    int made = walk_directory(&walk, local, base, 1);
    made += add_entry(local, base, info);
    if (made == 0) files.upload_names_missing = 1;
    return made;
}

int add_requested_tree(const char* name) {
    const char* slash = strrchr(name, '/');
    const char* base = slash != nullptr ? slash + 1 : name;  // a peer chooses no directories
    if (base[0] == '\0' || strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return 0;
    if (!files.wildcards_allowed && strpbrk(base, "?*") != nullptr) return 0;
    int made = 0;
    const dir_node* node = files.upload_dirs.head;
    do {
        char path[PATH_SIZE];
        struct stat info;
        if (make_path(path, sizeof path, node != nullptr ? node->path : "", base, nullptr) == 0 &&
            lstat(path, &info) == 0 && S_ISDIR(info.st_mode))
            made += add_tree(path);
        if (node != nullptr) node = node->next;
    } while (node != nullptr);
    return made;
}

const char* shown_name(const file_entry* entry) {
    return entry->tree ? entry_alias(entry) : entry->name;
}

bool tree_entry(const file_entry* entry) { return entry->tree != 0; }

bool tree_directory(const file_entry* entry) {
    if (!entry->tree) return false;
    const char* alias = entry_alias(entry);
    size_t length = strlen(alias);
    return length > 0 && alias[length - 1] == '/';
}

const char* tree_path_refused(const char* path) {
    if (path[0] == '\0') return "an empty path";
    if (path[0] == '/') return "an absolute path";
    if (strlen(path) >= PATH_MAX) return "a path past PATH_MAX";
    int depth = 0;
    for (const char* at = path;;) {
        const char* slash = strchr(at, '/');
        size_t length = slash != nullptr ? static_cast<size_t>(slash - at) : strlen(at);
        if (length == 0) return "an empty component";
        if (length == 1 && at[0] == '.') return "a '.' component";
        if (length == 2 && at[0] == '.' && at[1] == '.') return "a '..' component";
        if (length > NAME_MAX) return "a component past NAME_MAX";
        std::string component(at, length);
        if (name_refused(component.c_str())) return "a character a name may not hold";
        if (++depth > TREE_MAX_DEPTH) return "more than 32 levels";
        if (slash == nullptr) return nullptr;
        at = slash + 1;
    }
}

int open_tree_directory(const char* base, const char* directories, int mode, const char** reason) {
    *reason = nullptr;
    int at = open(base[0] != '\0' ? base : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) {
        *reason = strerror(errno);
        return -1;
    }
    if (directories[0] == '\0') return at;
    if ((*reason = tree_path_refused(directories)) != nullptr) {
        close(at);
        return -1;
    }
    std::string path = directories;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string component = path.substr(start, end - start);
        start = end + 1;
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(at, component.c_str(), flags);
        if (next < 0 && errno == ENOENT && mode >= 0) {
            // Made here, or by someone else meanwhile: either way it is opened as it is now.
            if (mkdirat(at, component.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
                *reason = strerror(errno);
            else
                next = openat(at, component.c_str(), flags);
        }
        if (next < 0 && *reason == nullptr)
            *reason = errno == ELOOP || errno == ENOTDIR
                          ? "it exists as something other than a directory"
                          : strerror(errno);
        close(at);
        if (next < 0) return -1;
        at = next;
    }
    return at;
}
