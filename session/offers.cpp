// The sending side's offers: each queued file looked at (and with `extended` hashed whole)
// before its record goes into channel 2.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "files/lists.h"
#include "files/names.h"
#include "link/channels.h"
#include "serial/process.h"
#include "session/results.h"
#include "session/send.h"
#include "session/stats.h"

namespace {

// An entry's offer record as the entry is now, announcing the whole base name of its path,
// or between two ends that keep trees a tree's relative path. Returns the record length, or
// 0 when the record could never fit the offer channel.
int build_entry_offer(const file_entry* entry, uint8_t* record, bool extended, bool trees) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    const char* announced = base;
    size_t longest = MAX_ANNOUNCED_NAME;
    // Outside a tree the alias is the name the peer asked for the file by (a CP437 name's
    // own bytes); in a tree it is the file's path there.
    const char* path = entry_alias(entry)[0] != 0 ? entry_alias(entry) : entry->name;
    if (trees && tree_entry(entry)) {
        announced = entry_alias(entry);
        longest = TREE_PATH_MAX;
    } else if (split_path(tree_entry(entry) ? entry->name : path, directory, sizeof directory, base,
                          sizeof base) != 0) {
        return 0;
    }
    if (strlen(announced) > longest) return 0;
    offer_record offer{.time = entry->time,
                       .date = entry->date,
                       .length = entry->length,
                       .mtime = entry->mtime,
                       .digest = facts(entry).digest,
                       .name = announced,
                       .timed = entry->timed != 0,
                       .executable = entry->executable != 0};
    return build_offer(record, OFFER_CHANNEL_SIZE, offer, extended, trees);
}

// A tree's entry toward a peer that keeps no directories: its files go under their base
// names, its directories not at all; the user hears it once. True when the entry is dropped.
bool flatten_tree_entry(file_entry* entry) {
    if (!sending.told_no_trees) {
        console_reason("--recursive",
                       "the peer keeps no directories: files go under their base names");
        sending.told_no_trees = true;
    }
    if (!tree_directory(entry)) return false;
    free_entry(queue_pop(&files.upload_queue));
    return true;
}

// Opens a file about to be offered and reads its first byte: a file that cannot be read
// is never offered, since once accepted it could only end in the abort exchange. Its
// size, times and identity are taken as they are now. Returns why not, or null; the file
// stays open in *kept when it is wanted there.
const char* read_test(file_entry* entry, uint8_t* letter, int* kept) {
    *letter = ST_OPEN_ERROR;
    int fd = open_file(entry->name, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) return strerror(errno);
    const char* why = nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        why = strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
    } else if (entry->inode != 0 && (info.st_dev != entry->device || info.st_ino != entry->inode)) {
        why = "replaced since it was listed";
    } else if (info.st_size > 0) {
        uint8_t byte = 0;
        ssize_t got = pread(fd, &byte, 1, 0);
        if (got != 1) {
            *letter = ST_READ_ERROR;
            why = got < 0 ? strerror(errno) : "shorter than it was";
        }
    }
    if (why != nullptr || kept == nullptr) close(fd);
    if (why != nullptr) return why;
    if (kept != nullptr) *kept = fd;
    set_entry_length(entry, info.st_size);
    entry->mtime = info.st_mtime;
    entry->timed = 1;
    entry->time = dos_time(info.st_mtime);
    entry->date = dos_date(info.st_mtime);
    // Who the file is now: -y after "x", and the check after its last byte, compare with it.
    entry->device = info.st_dev;
    entry->inode = info.st_ino;
    entry->sent_mtime = info.st_mtim;
    entry->sent_ctime = info.st_ctim;
    return nullptr;
}

// A file found unfit before its offer: the batch goes on without it.
void not_offered(file_entry* entry, uint8_t letter, const char* why) {
    report_name("cannot send", entry->name, why);
    remember_reason(entry->name, why);
    if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
    finish_upload(entry, letter);
}

void hash_closed() {
    offer_hash& h = sending.hash;
    if (h.fd != -1) close(h.fd);
    h.fd = -1;
    h.entry = nullptr;
}

enum class readiness { ready, later, dropped };

// Makes the head of upload_queue fit to offer: looked at, and with `extended` its whole
// digest taken, DIGEST_BUDGET bytes a call. A file that fails is taken off the queue.
readiness make_ready(file_entry* entry, bool extended) {
    offer_hash& h = sending.hash;
    if (tree_directory(entry)) {
        // A directory record: no bytes, the digest of none.
        if (facts_of(entry) == nullptr) return readiness::later;
        digest_start(&h.digest);
        entry->facts->digest = digest_value(&h.digest);
        entry->facts->digested = true;
        return readiness::ready;
    }
    if (h.entry != entry) {
        hash_closed();
        if (entry->facts != nullptr) entry->facts->digested = false;
        uint8_t letter = 0;
        int fd = -1;
        if (const char* why = read_test(entry, &letter, extended ? &fd : nullptr); why != nullptr) {
            not_offered(queue_pop(&files.upload_queue), letter, why);
            return readiness::dropped;
        }
        if (!extended && entry->length > INT32_MAX) {
            // The basic record holds a signed 32-bit size: this peer never hears of it.
            report_too_large(entry->name);
            if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
            sending.upload_failed = 1;
            free_entry(queue_pop(&files.upload_queue));
            return readiness::dropped;
        }
        if (!extended) return readiness::ready;
        if (facts_of(entry) == nullptr) {
            close(fd);
            return readiness::later;  // no memory for its digest now: later
        }
        h.entry = entry;
        h.fd = fd;
        digest_start(&h.digest);
    }
    if (entry->facts->digested) return readiness::ready;
    int got = digest_file(&h.digest, h.fd, entry->length, DIGEST_BUDGET);
    if (got == 0) return readiness::later;
    int error = errno;
    close(h.fd);
    h.fd = -1;  // h.entry stays: the head is ready until it goes out
    if (got < 0) {
        hash_closed();
        not_offered(queue_pop(&files.upload_queue), ST_READ_ERROR,
                    error != 0 ? strerror(error) : "shorter than it was");
        return readiness::dropped;
    }
    entry->facts->digest = digest_value(&h.digest);
    entry->facts->digested = true;
    return readiness::ready;
}

}  // namespace

bool offer_hash_due() { return sending.hash.entry != nullptr && sending.hash.fd != -1; }

void send_offers() {
    // The peer's opening block says how it takes offers; a lost frame may delay it.
    if (sending.stream.abort_state != ABORT_NONE || !peer_opened()) {
        hash_closed();
        return;
    }
    const bool extended = announcement.used.extended;
    const bool trees = announcement.used.trees;
    // A longer header waits for as many bytes more.
    const int min_room = OFFER_MIN_ROOM + offer_header_size(extended, trees) - OFFER_HEADER_SIZE;
    uint8_t record[OFFER_CHANNEL_SIZE];
    for (;;) {
        file_entry* entry = files.upload_queue.head;
        if (entry == nullptr) return;
        if (tree_entry(entry) && !trees && flatten_tree_entry(entry)) continue;
        int length = build_entry_offer(entry, record, extended, trees);
        if (length == 0) {
            finish_upload(queue_pop(&files.upload_queue), STATUS_NAME_TOO_LONG);
            continue;
        }
        // Records are written whole, and only while the channel has its room. A file to hash
        // is hashed meanwhile: its offer is ready once there is room.
        bool room = send_room(CH_OFFERS) >= min_room && length <= send_room(CH_OFFERS);
        if (!room && !extended) return;
        readiness r = make_ready(entry, extended);
        if (r == readiness::dropped) continue;
        if (r == readiness::later || !room) return;
        queue_pop(&files.upload_queue);
        sending.hash.entry = nullptr;
        send_write(CH_OFFERS, record, build_entry_offer(entry, record, extended, trees));
        queue_append(&sending.offered_queue, entry);
    }
}
