// File entries, their first-in-first-out queues and the DOS time stamps they carry.
//
// Interface summary:
//   new_entry (name) -> entry or null (no memory); free_entry (entry)
//   queue_append (q, entry)    null entry: fatal internal error 3
//   queue_pop (q) -> entry or null;  queue_free_all (q)
//   queue_remove (q, entry) -> 1 when the entry was in q and is now unlinked, else 0
//   dos_time (t), dos_date (t)
//   dos_to_time (date, time) -> the local time they name, -1 when a field is out of range
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <sys/types.h>

static_assert(std::endian::native == std::endian::little,
              "the offer record is copied straight out of a file_entry");

struct file_entry {
    file_entry* next;
    file_entry* prev;
    uint8_t status;   // 1 local name, 0 peer's request, later a status letter
    uint8_t started;  // for the rate: start_ms is the first byte's, no longer the acceptance's
    uint8_t offered_again;  // an upload accepted before an abort, offered anew after it
    uint8_t blamed;         // aborts of the peer's receiving this upload was taken to cause
    int32_t offset;   // where the transfer starts
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
    // time, date, size and name lie contiguous: together they are the offer record.
    uint16_t time;
    uint16_t date;
    int32_t size;
    char name[];
};

static_assert(offsetof(file_entry, date) == offsetof(file_entry, time) + 2);
static_assert(offsetof(file_entry, size) == offsetof(file_entry, time) + 4);
static_assert(offsetof(file_entry, name) == offsetof(file_entry, time) + 8);

constexpr int OFFER_HEADER_SIZE = 8;

struct file_queue {
    file_entry* head = nullptr;
    file_entry* tail = nullptr;
};

file_entry* new_entry(const char* name);
void free_entry(file_entry* entry);
void queue_append(file_queue* queue, file_entry* entry);
file_entry* queue_pop(file_queue* queue);
int queue_remove(file_queue* queue, file_entry* entry);
void queue_free_all(file_queue* queue);
uint16_t dos_time(time_t timestamp);
uint16_t dos_date(time_t timestamp);
int64_t dos_to_time(uint16_t date, uint16_t time);
