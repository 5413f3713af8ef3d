// File entries, their first-in-first-out queues and the DOS time stamps they carry.
#include "files/entries.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "serial/process.h"

file_entry* new_entry(const char* name) { return new_entry_with_alias(name, ""); }

file_entry* new_entry_with_alias(const char* name, const char* alias) {
    size_t length = strlen(name);
    size_t alias_length = strlen(alias);
    // The fixed fields and the name with its NUL, then the
    // alias with its own.
    auto* entry =
        static_cast<file_entry*>(malloc(offsetof(file_entry, name) + length + alias_length + 2));
    if (entry == nullptr) return nullptr;
    memset(entry, 0, offsetof(file_entry, name));  // every fixed field starts at zero
    entry->mtime = -1;
    memcpy(entry->name, name, length + 1);
    memcpy(entry->name + length + 1, alias, alias_length + 1);
    return entry;
}

const char* entry_alias(const file_entry* entry) { return entry->name + strlen(entry->name) + 1; }

void set_entry_length(file_entry* entry, int64_t length) {
    entry->length = length;
    entry->size = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

void free_entry(file_entry* entry) {
    if (entry != nullptr) free(entry->facts);
    free(entry);
}

void queue_append(file_queue* queue, file_entry* entry) {
    if (entry == nullptr) internal_error_exit(INTERNAL_ERROR_QUEUE);
    entry->next = nullptr;
    entry->prev = queue->tail;
    if (queue->tail == nullptr)
        queue->head = entry;
    else
        queue->tail->next = entry;
    queue->tail = entry;
}

namespace {

void unlink_entry(file_queue* queue, file_entry* entry) {
    if (entry->prev != nullptr)
        entry->prev->next = entry->next;
    else
        queue->head = entry->next;
    if (entry->next != nullptr)
        entry->next->prev = entry->prev;
    else
        queue->tail = entry->prev;
    entry->next = nullptr;
    entry->prev = nullptr;
}

}  // namespace

file_entry* queue_pop(file_queue* queue) {
    file_entry* entry = queue->head;
    if (entry != nullptr) unlink_entry(queue, entry);
    return entry;
}

int queue_remove(file_queue* queue, file_entry* entry) {
    file_entry* e = queue->head;
    while (e != nullptr && e != entry) e = e->next;
    if (e == nullptr) return 0;
    unlink_entry(queue, entry);
    return 1;
}

void queue_free_all(file_queue* queue) {
    while (file_entry* entry = queue_pop(queue)) free_entry(entry);
}

// Fields are packed without range checks; unsigned arithmetic keeps years
// before 1980 well defined, and only the low 16 bits are stored.
uint16_t dos_time(time_t timestamp) {
    const struct tm* parts = localtime(&timestamp);
    if (parts == nullptr) return 0;
    uint32_t value = (static_cast<uint32_t>(parts->tm_hour) << 11) |
                     (static_cast<uint32_t>(parts->tm_min) << 5) |
                     static_cast<uint32_t>(parts->tm_sec / 2);
    return static_cast<uint16_t>(value);
}

uint16_t dos_date(time_t timestamp) {
    const struct tm* parts = localtime(&timestamp);
    if (parts == nullptr) return 0;
    uint32_t value = (static_cast<uint32_t>(parts->tm_year - 80) << 9) |
                     (static_cast<uint32_t>(parts->tm_mon + 1) << 5) |
                     static_cast<uint32_t>(parts->tm_mday);
    return static_cast<uint16_t>(value);
}

int64_t dos_to_time(uint16_t date, uint16_t time) {
    int day = date & 0x1F;
    int month = (date >> 5) & 0x0F;
    int hour = time >> 11;
    int minute = (time >> 5) & 0x3F;
    int second = (time & 0x1F) * 2;
    // A field out of its range is no time at all: an offer of a file without a date.
    if (day < 1 || day > 31 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
        return -1;
    struct tm parts {};
    parts.tm_year = (date >> 9) + 80;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;  // local time, summer or not as that day had it
    time_t t = mktime(&parts);
    // mktime moves a 31 February on to March: that is no date either.
    if (t == -1 || parts.tm_mday != day || parts.tm_mon != month - 1) return -1;
    return t;
}
