// File entries, their first-in-first-out queues and the DOS time stamps they carry.
//
// Interface summary:
//   new_entry (name) -> entry or null (no memory); free_entry (entry)
//   new_entry_with_alias (name, alias) -> likewise, a second text kept after the name's NUL;
//                              entry_alias (entry) -> it
//   set_entry_length (entry, length)  the 64-bit length, and the 32-bit `size` of the offer
//                              record (held at INT32_MAX past it)
//   queue_append (q, entry)    null entry: fatal internal error 3
//   queue_pop (q) -> entry or null;  queue_free_all (q)
//   queue_remove (q, entry) -> 1 when the entry was in q and is now unlinked, else 0
//   dos_time (t), dos_date (t)
//   dos_to_time (date, time) -> the local time they name, -1 when a field is out of range
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

struct transfer_facts;

struct file_entry {
    file_entry* next;
    file_entry* prev;
    uint8_t status;   // 1 local name, 0 peer's request, later a status letter
    uint8_t started;  // for the rate: start_ms is the first byte's, no longer the acceptance's
    uint8_t offered_again;  // an upload accepted before an abort, offered anew after it
    uint8_t blamed;         // aborts of the peer's receiving this upload was taken to cause
    uint8_t tree;           // a tree's: the alias is its path relative to the tree's parent
    uint8_t executable;     // a tree's file with its owner's execute bit
    int64_t offset;         // where the transfer starts
    // The file an upload entry stands for (0, 0 when none): an offer of the same file is
    // never written into it.
    dev_t device;
    ino_t inode;
    // Its times when it was opened for sending: -y deletes it only while they are unchanged.
    struct timespec sent_mtime;
    struct timespec sent_ctime;
    // For its rate: the file's place in its direction's stream of file bytes, and the
    // moment its bytes may have begun to cross the line (its acceptance, then its first byte).
    int64_t stream_start;
    int64_t start_ms;
    // The file's length (`size` below is its 32-bit copy, which a file past 2 GiB cannot be
    // offered with) and modification time (seconds since the epoch, any value, before 1970
    // too, when `timed` is set).
    int64_t length;
    int64_t mtime;
    uint8_t timed;  // mtime holds a time: 0 when none is known
    // What the transfer's protocol knows of the file (digests, the rules of an answer): the
    // session's own record, opaque here, a plain block freed with the entry; or null.
    transfer_facts* facts;
    uint16_t time;  // the file's last change as dos_time and dos_date
    uint16_t date;
    int32_t size;
    char name[];
};

struct file_queue {
    file_entry* head = nullptr;
    file_entry* tail = nullptr;
};

file_entry* new_entry(const char* name);
file_entry* new_entry_with_alias(const char* name, const char* alias);
const char* entry_alias(const file_entry* entry);
void set_entry_length(file_entry* entry, int64_t length);
void free_entry(file_entry* entry);
void queue_append(file_queue* queue, file_entry* entry);
file_entry* queue_pop(file_queue* queue);
int queue_remove(file_queue* queue, file_entry* entry);
void queue_free_all(file_queue* queue);
uint16_t dos_time(time_t timestamp);
uint16_t dos_date(time_t timestamp);
int64_t dos_to_time(uint16_t date, uint16_t time);
