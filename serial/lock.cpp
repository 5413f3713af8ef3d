#include "serial/lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "serial/process.h"

port_lock_state port_lock_files;

namespace {

constexpr const char* system_lock_dirs[] = {"/run/lock", "/var/lock"};
constexpr char lock_prefix[] = "LCK..";
constexpr char device_dir[] = "/dev/";
constexpr int lock_attempts = 2;  // a stale file is removed once; losing the race again refuses
// A lock file is created before its process number is written: one without a number is
// taken as being written for this long.
constexpr time_t unnumbered_grace_s = 5;

const char* lock_directory() {
    if (port_lock_files.directory != nullptr) return port_lock_files.directory;
    for (const char* directory : system_lock_dirs)
        if (access(directory, W_OK | X_OK) == 0) return directory;
    return nullptr;
}

// The process a lock file names (written as "%10d\n"), 0 when it names none.
pid_t holder_of(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    long pid = strtol(text, nullptr, 10);
    return pid > 0 && pid < INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// Only ESRCH says no such process: EPERM is someone else's live one. Our own number in
// the file is a left-over of an earlier process that had it.
bool is_stale(pid_t holder) {
    return holder == getpid() || (kill(holder, 0) != 0 && errno == ESRCH);
}

// A lock file that names no process (empty, unreadable, not a number) is stale once it is
// older than its grace time, or dated ahead of the clock by as much, and nobody holds the
// port's flock; otherwise `why` says what holds it.
bool unnumbered_is_stale(const char* path, int port_fd, char* why, size_t size) {
    struct stat info {};
    if (lstat(path, &info) != 0) return true;  // gone already: try again
    time_t age = time(nullptr) - info.st_mtime;
    if (age <= unnumbered_grace_s && age >= -unnumbered_grace_s) {
        snprintf(why, size, "locked, the lock file names no process yet (%s)", path);
        return false;
    }
    if (port_fd >= 0 && flock(port_fd, LOCK_EX | LOCK_NB) != 0) {
        snprintf(why, size, "locked, the lock file names no process and the port is in use (%s)",
                 path);
        return false;
    }
    if (port_fd >= 0) flock(port_fd, LOCK_UN);  // taken again once the lock file is ours
    return true;
}

// True when the file was created and holds our process id.
bool create_lock(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    char text[16];
    int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    if (!written) unlink(path);  // a file without our number would lock the port for good
    return written;
}

}  // namespace

void lock_file_name(const char* device_path, char* out, size_t size) {
    char resolved[PATH_MAX];
    const char* path = realpath(device_path, resolved) != nullptr ? resolved : device_path;
    const char* name = path;
    if (strncmp(path, device_dir, sizeof device_dir - 1) == 0)
        name = path + sizeof device_dir - 1;  // /dev/pts/3 -> pts_3
    else if (const char* slash = strrchr(path, '/'))
        name = slash + 1;
    snprintf(out, size, "%s%s", lock_prefix, name);
    for (char* c = out + sizeof lock_prefix - 1; *c != '\0'; ++c)
        if (*c == '/') *c = '_';
}

int port_lock(const char* device_path, int port_fd, char* why, size_t size) {
    port_lock_files.path[0] = '\0';
    const char* directory = lock_directory();
    if (directory == nullptr) return 0;  // no lock directory: flock alone guards the port
    char name[NAME_MAX + 1];
    lock_file_name(device_path, name, sizeof name);
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", directory, name) >= static_cast<int>(sizeof path))
        return 0;
    for (int attempt = 0; attempt < lock_attempts; ++attempt) {
        if (create_lock(path)) {
            snprintf(port_lock_files.path, sizeof port_lock_files.path, "%s", path);
            return 0;
        }
        if (errno != EEXIST) return 0;  // a directory we may not write is no reason to stop
        pid_t holder = holder_of(path);
        if (holder > 0 ? is_stale(holder) : unnumbered_is_stale(path, port_fd, why, size)) {
            unlink(path);
            continue;
        }
        if (holder > 0)
            snprintf(why, size, "locked by process %d (%s)", static_cast<int>(holder), path);
        return -1;
    }
    snprintf(why, size, "locked (%s)", path);
    return -1;
}

void port_unlock() {
    if (port_lock_files.path[0] == '\0') return;
    // Removed only while it still names us: a file someone put in its place is theirs.
    if (holder_of(port_lock_files.path) == getpid()) unlink(port_lock_files.path);
    port_lock_files.path[0] = '\0';
}

void set_lock_directory(const char* directory) { port_lock_files.directory = directory; }
