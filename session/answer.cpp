// The receiving side's answers to offers: where each file goes, and whether it is new,
// resumed, already here or a taken name. With `extended` a local file of the name is
// hashed before the answer, a bounded amount a cycle, and the answer waits for it.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/lists.h"
#include "files/names.h"
#include "files/tree.h"
#include "link/channels.h"
#include "serial/process.h"
#include "session/receive.h"
#include "session/results.h"
#include "session/send.h"
#include "session/stats.h"

namespace {

constexpr size_t MAX_CP437_NAME = 255;  // a CP437 name's UTF-8 form: what a file system takes

// Outcome of looking at a file that may already exist under the wanted path.
enum class existing { answered, taken, hashing };

// Collects offer bytes; the record's length once a whole one (header, name, NUL) is in
// offer_buffer, else 0.
int collect_offer() {
    const int header = offer_header_size(announcement.used.extended, announcement.used.trees);
    uint8_t byte = 0;
    while (recv_read(CH_OFFERS, &byte, 1) == 1) {
        if (receiving.offer_pos >= header + NAME_SPACE) internal_error_exit(INTERNAL_ERROR_OFFER);
        receiving.offer_buffer[receiving.offer_pos++] = byte;
        if (receiving.offer_pos > header && byte == 0) {
            int length = receiving.offer_pos;
            receiving.offer_pos = 0;
            return length;
        }
    }
    return 0;
}

// A name we would store under must be a plain name: a control character would forge log
// lines or steer the terminal that shows it, a direction mark would disguise it. Null when
// the offer is acceptable, else why not.
const char* unacceptable_offer(int64_t length, const char* base) {
    if (length < 0) return "a negative size";
    if (base[0] == 0 || strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return "no file name";
    return name_refused(base) ? "its name holds control characters" : nullptr;
}

// The refusal `letter` goes to the peer; the entry ends with `final`, which may say more.
void refuse(file_entry* entry, uint8_t letter, uint8_t final = 0) {
    entry->status = letter;  // the log line is written before the entry is queued
    if (session.log_refusals) write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.upload.average_rate);
    finish_entry(entry, final != 0 ? final : letter);
    write_status_letter(letter);
}

// An entry for a local path, with the file as the offer being answered gives it; the name
// it was offered under is its alias.
file_entry* entry_for(const char* path, const char* offered) {
    const offer_record& offer = receiving.answer.offer;
    file_entry* entry = new_entry_with_alias(path, offered);
    if (entry == nullptr) return nullptr;
    entry->offset = 0;
    set_entry_length(entry, offer.length);
    entry->mtime = offer.mtime;
    entry->timed = offer.timed;
    entry->time = offer.time;
    entry->date = offer.date;
    if (announcement.used.extended) {
        transfer_facts* f = facts_of(entry);
        if (f == nullptr) {
            free_entry(entry);
            return nullptr;
        }
        f->digest = offer.digest;
        f->digested = true;
    }
    entry->executable = offer.executable;
    return entry;
}

// A malformed offer is refused like any other, under a name safe to show and log.
void refuse_malformed(const char* offered, const char* why, uint8_t final = ST_NAME_REFUSED) {
    char shown[OFFER_BUFFER_SIZE];
    printable_name(shown, sizeof shown, offered);
    if (why != nullptr) report_file_error("refused", offered, why);  // none: refused by -k
    file_entry* entry = entry_for(shown, "");
    if (entry == nullptr) {
        write_status_letter(ST_TOO_MANY);
        return;
    }
    refuse(entry, ST_REFUSED, final);
}

void write_resume(const resume_answer& resume, bool extended) {
    uint8_t bytes[EXTENDED_RESUME_BYTES];
    send_write(CH_STATUS, bytes, build_resume(bytes, resume, extended));
}

// A file in our own upload queues, from the first queue to the confirmation: offered
// data written into it would mix two files, and -o would delete the upload.
bool one_of_our_uploads(const struct stat& st) {
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue, &sending.send_queue,
                                &sending.in_transit_queue})
        for (const file_entry* e = q->head; e != nullptr; e = e->next)
            if (e->inode == st.st_ino && e->device == st.st_dev && e->inode != 0) return true;
    return false;
}

bool same_file(int fd, const struct stat& st) {
    struct stat open_one;
    return fd >= 0 && fstat(fd, &open_one) == 0 && open_one.st_dev == st.st_dev &&
           open_one.st_ino == st.st_ino;
}

// Why an open descriptor may not take received data, or null when it may: only a regular
// file with no other name, so nothing is written through a link to a file elsewhere, and
// none this run writes itself: an offer resumed into the transfer log would forge its lines.
const char* unfit_target(int fd, struct stat* st) {
    if (fstat(fd, st) != 0) return strerror(errno);
    if (!S_ISREG(st->st_mode)) return "not a regular file";
    if (st->st_nlink != 1) return "a file with other links";
    if (one_of_our_uploads(*st)) return "a file being sent";
    if (same_file(stats.log_fd, *st)) return "the transfer log";
    if (same_file(receiving.stream.fd, *st)) return "a file being received";
    return nullptr;
}

// The bytes still to come, this file's from `offset` and those of the files accepted and not
// yet written, less `freed` (an old file -o unlinks now), must fit the free space of the file
// system the path goes to; one that reports no size is not checked. A file that cannot fit is
// refused at once, the reason at both ends: with `no_room` its own letter, toward other
// peers "t" (takes no more files). True when it was refused.
bool refused_for_room(file_entry* entry, const char* path, int64_t offset, int64_t freed) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    struct statvfs fs {};
    if (split_path(path, directory, sizeof directory, base, sizeof base) != 0 ||
        statvfs(directory[0] != 0 ? directory : ".", &fs) != 0 || fs.f_blocks == 0)
        return false;
    int64_t coming = entry->length - offset - freed;
    if (receiving.stream.current != nullptr) coming += receiving.stream.figures.file_bytes_left;
    for (const file_entry* e = receiving.receive_queue.head; e != nullptr; e = e->next)
        coming += e->length - e->offset;
    const int64_t free_bytes =
        static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
    if (coming <= free_bytes) return false;
    char reason[96];
    snprintf(reason, sizeof reason, "%lld bytes to come, %lld free", static_cast<long long>(coming),
             static_cast<long long>(free_bytes));
    report_file_error("no room for", path, reason);
    refuse(entry, announcement.used.no_room ? ST_NO_ROOM : ST_TOO_MANY, ST_NO_ROOM);
    return true;
}

// A taken name under -o: with `extended` the new file is received under a temporary name
// and replaces the old one only once it is confirmed; otherwise the old one goes now.
existing overwrite(file_entry* entry, const char* path, int64_t old_size) {
    if (!session.overwrite_existing) return existing::taken;
    // The old file stays beside the temporary until the rename; without it, it goes now.
    if (refused_for_room(entry, path, 0, announcement.used.extended ? 0 : old_size))
        return existing::answered;
    if (announcement.used.extended) {
        entry->facts->taken = taken_rule::replace;
    } else if (unlink_target(entry, path) != 0) {
        return existing::taken;
    }
    accept_incoming(entry, 0, ST_ACCEPTED);
    return existing::answered;
}

// The extended "r": the offset, the digest of the bytes held, and whether the whole file is
// taken when they are not the sender's (the rule for a taken name: -o, -R).
void answer_verified_resume(file_entry* entry, int64_t held, uint64_t digest) {
    transfer_facts* f = entry->facts;  // made with the entry: the session is extended
    f->prefix_digest = digest;
    f->taken = session.overwrite_existing ? taken_rule::replace
               : session.rename_existing  ? taken_rule::rename
                                          : taken_rule::refuse;
    accept_incoming(entry, held, ST_RESUMED);
    resume_or otherwise = f->taken == taken_rule::refuse ? resume_or::nothing : resume_or::whole;
    write_resume({held, digest, otherwise}, true);
}

// The local file under an offered name is hashed whole: what it is decides the answer. One
// that could not be read, or was cut short meanwhile, is neither skipped nor resumed.
existing after_hash(file_entry* entry) {
    offer_answer& a = receiving.answer;
    close(a.fd);
    a.fd = -1;
    a.hashed = false;
    if (a.digest.done != a.held.st_size) return existing::taken;
    uint64_t digest = digest_value(&a.digest);
    if (a.held.st_size == entry->length) {
        if (digest != facts(entry).digest) return overwrite(entry, entry->name, 0);  // another file
        refuse(entry, ST_HAVE_IT);
        return existing::answered;
    }
    if (refused_for_room(entry, entry->name, a.held.st_size, 0)) return existing::answered;
    // Its reception hashes the same bytes again unless they are unchanged by then.
    receiving.held = a.digest;
    receiving.held_for = entry;
    receiving.held_stat = a.held;
    answer_verified_resume(entry, a.held.st_size, digest);
    return existing::answered;
}

// Resume, skip or overwrite an existing file. A missing file, or one that cannot be opened
// for writing, counts as new; a link, a directory, a file with other links or one of our
// uploads is taken. With `extended` a file that may be resumed or skipped is hashed first.
existing look_at_existing(file_entry* entry, const char* path) {
    struct stat st {};
    const char* unfit = nullptr;
    int fd = open_target(entry, path, 0, NEW_FILE_MODE, &st, &unfit);
    if (fd < 0 && unfit == nullptr && errno != ELOOP && errno != EISDIR) {
        if (!refused_for_room(entry, path, 0, 0)) accept_incoming(entry, 0, ST_ACCEPTED);
        return existing::answered;
    }
    if (fd < 0) return existing::taken;
    if (session.resume_check && st.st_size <= entry->length && announcement.used.extended) {
        offer_answer& a = receiving.answer;
        a.fd = fd;
        a.held = st;
        digest_start(&a.digest);
        return existing::hashing;
    }
    close(fd);
    if (session.resume_check) {
        if (st.st_size < entry->length) {
            int32_t length = static_cast<int32_t>(st.st_size);
            if (refused_for_room(entry, path, length, 0)) return existing::answered;
            accept_incoming(entry, length, ST_RESUMED);
            write_resume({.offset = length}, false);
            return existing::answered;
        }
        if (st.st_size == entry->length) {
            refuse(entry, ST_HAVE_IT);
            return existing::answered;
        }
    }
    return overwrite(entry, path, st.st_size);
}

// A tree's path that is refused: the reason on standard error, the offer answered "q".
void refuse_tree_path(const char* offered, const char* why) { refuse_malformed(offered, why); }

// Makes (or finds) a relative directory path under the download directory; false when it
// was refused (answered).
bool make_tree_directories(const char* offered, const char* relative) {
    const char* why = tree_path_refused(relative);
    if (why == nullptr) {
        int fd = open_tree_directory(files.download_dir, relative, 0777, &why);
        if (fd >= 0) close(fd);
    }
    if (why == nullptr) return true;
    refuse_tree_path(offered, why);
    return false;
}

// A directory record ("photos/empty/"): the directory is made, and "x" says it stands.
void answer_directory(const char* offered) {
    if (!session.accept_uploads) {
        refuse_malformed(offered, nullptr, ST_REFUSED);
        return;
    }
    char relative[NAME_SPACE];
    snprintf(relative, sizeof relative, "%s", offered);
    relative[strlen(relative) - 1] = '\0';
    if (!make_tree_directories(offered, relative)) return;
    write_status_letter(ST_HAVE_IT);
    const offer_record& offer = receiving.answer.offer;
    if (apply_times_on() && offer.timed) keep_tree_time(relative, offer.mtime);
}

// The directories of a tree file's offer (a.directory, as offered): made under the download
// directory, and a.directory becomes the local one. False when the offer was answered.
bool tree_directories(const char* offered) {
    offer_answer& a = receiving.answer;
    char relative[NAME_PART_SIZE];
    snprintf(relative, sizeof relative, "%s", a.directory);
    relative[strlen(relative) - 1] = '\0';  // the '/' before the base name
    if (!make_tree_directories(offered, relative)) return false;
    if (make_path(a.directory, sizeof a.directory, files.download_dir, relative, nullptr) != 0) {
        refuse_tree_path(offered, "a path past PATH_MAX");
        return false;
    }
    return true;
}

// Takes the record in offer_buffer: picks the directory and base name it goes to, or answers
// it at once. False when it was answered.
bool start_answer(int record_length) {
    offer_answer& a = receiving.answer;
    a.offer = offer_record{};
    // The collector stops at the name's NUL: the record is whole.
    parse_offer(receiving.offer_buffer, record_length, announcement.used.extended, &a.offer,
                announcement.used.trees);
    const char* offered = a.offer.name;
    a.tree = announcement.used.trees && strchr(offered, '/') != nullptr;
    if (a.tree && offered[strlen(offered) - 1] == '/') {
        answer_directory(offered);
        return false;
    }
    // A peer that does not announce UTF-8 names may be an old BBS whose names are code page
    // 437: a name that is no UTF-8 is stored as its CP437 reading (the peer's bytes stay the
    // alias).
    char read_as[NAME_PART_SIZE];
    const char* name = offered;
    if (!announcement.used.utf8_names && !utf8_valid(offered)) {
        if (cp437_to_utf8(read_as, sizeof read_as, offered) < 0) {
            refuse_malformed(offered, strerror(ENAMETOOLONG));
            return false;
        }
        name = read_as;
    }
    if (split_path(name, a.directory, sizeof a.directory, a.base, sizeof a.base) != 0 ||
        (name == read_as && strlen(a.base) > MAX_CP437_NAME)) {
        refuse_malformed(offered, strerror(ENAMETOOLONG));
        return false;
    }
    if (const char* why = unacceptable_offer(a.offer.length, a.base); why != nullptr) {
        refuse_malformed(offered, why, a.offer.length < 0 ? ST_REFUSED : ST_NAME_REFUSED);
        return false;
    }
    if (const char* why = a.tree ? tree_path_refused(offered) : nullptr; why != nullptr) {
        refuse_tree_path(offered, why);
        return false;
    }
    a.checks_failed = 0;
    bool local_name = false;
    file_entry* given = nullptr;
    // A file that failed its check comes back to the name it had; it uses no -d name again.
    for (file_entry* e = receiving.retry_queue.head; e != nullptr && given == nullptr; e = e->next)
        if (strcmp(entry_alias(e), offered) == 0) given = e;
    if (given != nullptr) {
        queue_remove(&receiving.retry_queue, given);
        a.checks_failed = facts(given).checks_failed;
    } else {
        given = queue_pop(&files.receive_names);
    }
    if (given != nullptr) {
        int split = split_path(given->name, a.directory, sizeof a.directory, a.base, sizeof a.base);
        free_entry(given);
        if (split != 0) {
            refuse_malformed(offered, strerror(ENAMETOOLONG));
            return false;
        }
        local_name = true;
    } else if (files.receive_names_given) {
        write_status_letter(ST_TOO_MANY);
        return false;
    }
    if (a.tree && !local_name) {
        // The tree's directories under the download directory, made without following a link.
        if (!tree_directories(offered)) return false;
    } else if (!local_name || a.directory[0] == 0) {
        a.tree = false;
        snprintf(a.directory, sizeof a.directory, "%s", files.download_dir);
    }
    a.tries = 0;
    a.suffix[0] = '\0';
    a.active = true;
    return true;
}

// Tries the paths of the offer in turn, the name and then -R's suffixes, until one is
// answered; returns early while a local file is being hashed.
void go_on_answering() {
    offer_answer& a = receiving.answer;
    const char* offered = a.offer.name;
    for (;;) {
        existing found = existing::taken;
        if (a.entry == nullptr) {
            char path[PATH_SIZE];
            if (make_path(path, sizeof path, a.directory, a.base, a.suffix) != 0) {
                refuse_malformed(offered, strerror(ENAMETOOLONG));
                break;
            }
            a.entry = entry_for(path, offered);
            if (a.entry == nullptr) {
                write_status_letter(ST_TOO_MANY);
                break;
            }
            if (a.entry->facts != nullptr) a.entry->facts->checks_failed = a.checks_failed;
            a.entry->tree = a.tree;
            if (!session.accept_uploads) {
                refuse(a.entry, ST_REFUSED);
                break;
            }
            if (waiting_for(path, a.tree)) {
                refuse(a.entry, ST_DUPLICATE);
                break;
            }
            if (!in_extra_dirs(a.tree ? offered : a.base, a.suffix, a.tree))
                found = look_at_existing(a.entry, path);
        } else if (a.hashed) {
            found = after_hash(a.entry);
        }
        if (found == existing::hashing) {
            a.hashed = digest_file(&a.digest, a.fd, a.held.st_size, DIGEST_BUDGET) != 0;
            if (!a.hashed) return;  // on in the next cycle
            found = after_hash(a.entry);
        }
        if (found == existing::answered) break;
        // The name is taken.
        if (!session.rename_existing || a.tries > MAX_RENAME_TRIES) {
            refuse(a.entry, ST_EXISTS);
            break;
        }
        free_entry(a.entry);
        a.entry = nullptr;
        snprintf(a.suffix, sizeof a.suffix, ".%d", a.tries);
        ++a.tries;
    }
    a.entry = nullptr;
    a.active = false;
}

}  // namespace

// The file being written counts as waiting too: a second offer of it would otherwise be
// resumed from a length that is still growing and break the whole receiving side.
bool waiting_for(const char* path, bool exact) {
    auto same = [&](const file_entry* e) {
        return (exact ? strcmp(e->name, path) : strcasecmp(e->name, path)) == 0;
    };
    if (receiving.stream.current != nullptr && same(receiving.stream.current)) return true;
    for (file_entry* e = receiving.receive_queue.head; e != nullptr; e = e->next)
        if (same(e)) return true;
    return false;
}

bool in_extra_dirs(const char* name, const char* suffix, bool exact) {
    for (dir_node* d = files.extra_dirs.head; d != nullptr; d = d->next) {
        char path[PATH_SIZE];
        if (make_path(path, sizeof path, d->path, name, suffix) != 0) continue;
        struct stat there;
        if (exact ? lstat(path, &there) == 0 : file_exists(path) != 0) return true;
    }
    return false;
}

// A tree's file under the download directory is reached from its directory, walked again
// from the download directory each time without following a link: a link planted in its path
// after the offer is refused, never written through. Any other file is reached by its path.
int target_directory(const file_entry* entry, const char* path, const char** base,
                     const char** reason) {
    *base = path;
    *reason = nullptr;
    const char* slash =
        entry != nullptr && entry->tree ? strrchr(entry_alias(entry), '/') : nullptr;
    if (slash == nullptr) return AT_FDCWD;
    const char* alias = entry_alias(entry);
    char relative[NAME_PART_SIZE];
    char directory[PATH_SIZE];
    snprintf(relative, sizeof relative, "%.*s", static_cast<int>(slash - alias), alias);
    if (make_path(directory, sizeof directory, files.download_dir, relative, "/") != 0)
        return AT_FDCWD;
    size_t length = strlen(directory);
    // A local name given for it (-a) is the user's own path.
    if (strncmp(path, directory, length) != 0 || strchr(path + length, '/') != nullptr)
        return AT_FDCWD;
    *base = path + length;
    // Made when its offer was answered: one removed since is not made again.
    return open_tree_directory(files.download_dir, relative, -1, reason);
}

void close_directory(int dir) {
    if (dir >= 0) close(dir);
}

int unlink_target(const file_entry* entry, const char* path) {
    const char* base = path;
    const char* reason = nullptr;
    int dir = target_directory(entry, path, &base, &reason);
    if (dir == -1) return -1;
    int done = unlinkat(dir, base, 0);
    int saved = errno;
    close_directory(dir);
    errno = saved;
    return done;
}

// Opens a received file without following a link (O_NOFOLLOW), non-blocking and without
// a controlling terminal, so a FIFO or device planted under the name cannot stall or take
// us. -1 with errno set, or the reason in *unfit for a descriptor that is not usable.
int open_target(const file_entry* entry, const char* path, int flags, int mode, struct stat* st,
                const char** unfit) {
    const char* base = path;
    int dir = target_directory(entry, path, &base, unfit);
    if (dir == -1) return -1;
    int fd = openat(dir, base, flags | O_RDWR | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, mode);
    int saved = errno;
    close_directory(dir);
    errno = saved;
    if (fd < 0) return -1;
    if ((*unfit = unfit_target(fd, st)) != nullptr) {
        close(fd);
        return -1;
    }
    return fd;
}

// The time a tree's directory record carried is set once nothing is being received: the
// files written into the directory would change it again.
void keep_tree_time(const char* relative, int64_t mtime) {
    std::vector<tree_time>& times = receiving.tree_times;
    auto same = [&](const tree_time& t) { return t.path == relative; };
    if (auto found = std::find_if(times.begin(), times.end(), same); found != times.end())
        found->mtime = mtime;
    else if (times.size() < MAX_TREE_TIMES)
        times.push_back({relative, mtime});
    const transfer_direction& stream = receiving.stream;
    if (stream.current == nullptr && receiving.receive_queue.head == nullptr &&
        receiving.received_queue.head == nullptr)
        set_tree_times();
}

// In the order the records came, a directory after those inside it: setting a directory's
// time leaves its parent's as it is. A directory gone meanwhile is not made again.
void set_tree_times() {
    for (const tree_time& t : receiving.tree_times) {
        const char* why = nullptr;
        int fd = open_tree_directory(files.download_dir, t.path.c_str(), -1, &why);
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(t.mtime), 0}};
        if (fd >= 0 && futimens(fd, times) != 0) why = strerror(errno);
        if (why != nullptr) report_file_error("cannot set the time of", t.path.c_str(), why);
        if (fd >= 0) close(fd);
    }
}

// A received file that cannot be created or written says why on standard error: without
// a screen the result letter alone reaches nobody.
void report_file_error(const char* what, const char* path, const char* reason) {
    report_name(what, path, reason);
    remember_reason(path, reason);  // the screen hides the console: the result line says it
}

bool receive_hash_due() {
    const offer_answer& a = receiving.answer;
    const transfer_direction& stream = receiving.stream;
    return (a.active && a.fd != -1 && !a.hashed) ||
           (stream.current != nullptr && stream.phase == PHASE_PREFIX &&
            stream.abort_state == ABORT_NONE);
}

void decide_offer() {
    offer_answer& a = receiving.answer;
    // An offer is read as the peer's opening block says: until it has come, none is. A local
    // file is hashed whether or not its answer has room yet.
    if (a.active && a.fd != -1 && !a.hashed)
        a.hashed = digest_file(&a.digest, a.fd, a.held.st_size, DIGEST_BUDGET) != 0;
    // Room for the longest answer: "r" and what follows it.
    if (send_room(CH_STATUS) < 1 + resume_size(announcement.used.extended) || !peer_opened())
        return;
    if (a.active) {
        if (a.fd == -1 || a.hashed) go_on_answering();
        return;
    }
    int length = collect_offer();
    if (length <= 0) return;
    receiving.reoffer_until = 0;  // an offer came: the wait for one after "g" is over
    if (start_answer(length)) go_on_answering();
}
