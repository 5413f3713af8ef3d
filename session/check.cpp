// The check of a received file between its last byte and its 'S' line and "c".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/paths.h"
#include "session/receive.h"

namespace {

// The file's bytes, and its name in its directory, reach the disk before its "c": a sender
// told so may delete its copy (-y). The directory is synced for a resumed file too: the
// run that created it may have ended before its name was on the disk.
bool sync_directory(const char* path) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(path, directory, sizeof directory, base, sizeof base) != 0) return false;
    int dir_fd = open(directory[0] != 0 ? directory : ".", O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) return false;
    bool synced = fsync(dir_fd) == 0;
    int saved = errno;
    close(dir_fd);
    errno = saved;
    return synced;
}

// A file whose bytes are not the sender's is put back as it was before this run: a file this
// run created goes (while its name still leads to it), a resumed one is cut back to the bytes
// it held, which were checked against the sender's first ones; the old file -o would have
// replaced is left as it is.
void undo_reception(int fd, const file_entry* entry) {
    bool undone = true;
    if (receiving.target == TARGET_APPENDED)
        undone = ftruncate(fd, entry->offset) == 0;
    else if (receiving.target == TARGET_TEMPORARY)
        undone = !names_it(fd, entry, receiving.temp_path) ||
                 unlink_target(entry, receiving.temp_path) == 0;
    else
        undone = !names_it(fd, entry, entry->name) || unlink_target(entry, entry->name) == 0;
    if (!undone) report_file_error("cannot undo", entry->name, strerror(errno));
}

// -o: the temporary goes over the name, both in the directory the file is reached from.
// Null when it did, else why not.
const char* rename_target(const file_entry* entry) {
    const char* base = entry->name;
    const char* temporary = receiving.temp_path;
    const char* reason = nullptr;
    int dir = target_directory(entry, entry->name, &base, &reason);
    if (dir == -1) return reason;
    const char* slash = strrchr(temporary, '/');
    if (dir != AT_FDCWD && slash != nullptr) temporary = slash + 1;  // beside the name
    bool done = renameat(dir, temporary, dir, base) == 0;
    int saved = errno;
    close_directory(dir);
    return done ? nullptr : strerror(saved);
}

// The offer's modification time: DOS fields taken as local time (none when one is out of
// range), or with `extended` the full time. Set before the sync, so it reaches the disk too.
void set_time(int fd, const file_entry* entry) {
    if (!entry->timed) return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry->mtime), 0}};
    if (futimens(fd, times) != 0)
        report_file_error("cannot set the time of", entry->name, strerror(errno));
}

// The one check between a file's last byte and its 'S' line and "c": its bytes are the
// sender's (`extended`: the digest), they are on the disk, and its name leads to them. A
// file deleted, or replaced under its name, while it was written would otherwise be
// confirmed, and a sender with -y would delete the only copy. Says why not on standard error.
}  // namespace

whole_file check_whole_file(int fd, file_entry* entry) {
    const transfer_direction& stream = receiving.stream;
    if (stream.digested && digest_value(&stream.digest) != parse_digest_trailer(stream.tail)) {
        report_file_error("not confirmed", entry->name,
                          "its bytes are not the sender's (their digests differ)");
        undo_reception(fd, entry);
        return whole_file::mismatch;
    }
    if (apply_times_on()) set_time(fd, entry);
    if (fsync(fd) != 0) {
        report_file_error("cannot sync", entry->name, strerror(errno));
        return whole_file::unsynced;
    }
    if (receiving.target == TARGET_TEMPORARY) {
        if (const char* why = rename_target(entry); why != nullptr) {
            report_file_error("cannot replace", entry->name, why);
            return whole_file::unsynced;
        }
        receiving.target = TARGET_NEW;  // it stands under its name now
    }
    if (!sync_directory(entry->name)) {
        report_file_error("cannot sync", entry->name, strerror(errno));
        return whole_file::unsynced;
    }
    if (!names_it(fd, entry, entry->name)) {
        report_file_error("not confirmed", entry->name,
                          "removed or replaced while it was received");
        return whole_file::lost;
    }
    return whole_file::kept;
}

// The name still leads to the open file.
bool names_it(int fd, const file_entry* entry, const char* path) {
    struct stat held {};
    struct stat named {};
    const char* base = path;
    const char* reason = nullptr;
    int dir = target_directory(entry, path, &base, &reason);
    if (dir == -1) return false;
    bool same = fstat(fd, &held) == 0 && held.st_nlink != 0 &&
                fstatat(dir, base, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                named.st_dev == held.st_dev && named.st_ino == held.st_ino;
    close_directory(dir);
    return same;
}
