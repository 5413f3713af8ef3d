#include "session/transfer.h"

#include "link/channels.h"
#include "session/cycle.h"

file_queue finished_queue;

void finish_entry(file_entry* entry, uint8_t letter) {
    entry->status = letter;
    queue_append(&finished_queue, entry);
}

int queue_remove(file_queue* queue, file_entry* entry) {
    file_entry* e = queue->head;
    while (e != nullptr && e != entry) e = e->next;
    if (e == nullptr) return 0;
    if (entry->prev != nullptr) entry->prev->next = entry->next;
    else queue->head = entry->next;
    if (entry->next != nullptr) entry->next->prev = entry->prev;
    else queue->tail = entry->prev;
    entry->next = nullptr;
    entry->prev = nullptr;
    return 1;
}

void write_status_letter(uint8_t letter) { send_write(CH_STATUS, &letter, 1); }
