#include "link/channels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "link/failure.h"

channels_state channels;
schedule_state schedule;

namespace {

constexpr int RECV_START_SEQUENCE = SEQUENCE_BIT;  // the first block (bit 0) is always new

uint8_t* alloc_ring(int size) {
    auto* ring = static_cast<uint8_t*>(malloc(static_cast<size_t>(size)));
    if (ring == nullptr) link_fail("Out of memory.", AWAIT_GOODBYE, PAUSE_AFTER);
    return ring;
}

link_channel* send_rec(int number) { return channels.send_channels[number]; }
link_channel* recv_rec(int number) { return channels.recv_channels[number]; }

void init_record(link_channel* rec, int number, int size) {
    *rec = link_channel{};
    rec->number = number;
    rec->buffer_start = alloc_ring(size);
    rec->buffer_end = rec->buffer_start + size;
    rec->read_pos = rec->buffer_start;
    rec->write_pos = rec->buffer_start;
    rec->room = size;
}

}  // namespace

void ring_advance(const link_channel* rec, uint8_t*& pos, int n) {
    int to_end = static_cast<int>(rec->buffer_end - pos);
    pos = n < to_end ? pos + n : rec->buffer_start + (n - to_end);
}

void ring_copy_in(const link_channel* rec, uint8_t*& pos, const uint8_t* bytes, int n) {
    size_t first = std::min(static_cast<size_t>(n), static_cast<size_t>(rec->buffer_end - pos));
    memcpy(pos, bytes, first);
    memcpy(rec->buffer_start, bytes + first, static_cast<size_t>(n) - first);
    ring_advance(rec, pos, n);
}

void ring_copy_out(const link_channel* rec, uint8_t*& pos, uint8_t* bytes, int n) {
    size_t first = std::min(static_cast<size_t>(n), static_cast<size_t>(rec->buffer_end - pos));
    memcpy(bytes, pos, first);
    memcpy(bytes + first, rec->buffer_start, static_cast<size_t>(n) - first);
    ring_advance(rec, pos, n);
}

void send_alloc(int number, int size, int priority_class) {
    link_channel* rec = &channels.send_records[number];
    init_record(rec, number, size);
    rec->priority_class = priority_class;
    channels.send_channels[number] = rec;
}

void recv_alloc(int number, int size) {
    link_channel* rec = &channels.recv_records[number];
    init_record(rec, number, size);
    rec->sequence_bit = RECV_START_SEQUENCE;
    rec->ack_code = KIND_NAK;
    channels.recv_channels[number] = rec;
}

void channels_restart() {
    // The rings stay; everything in them and every sequence bit is as when they were made,
    // as a peer that starts anew expects. The queues were emptied with the link's reset.
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (link_channel* rec = channels.send_channels[n]) {
            const int size = static_cast<int>(rec->buffer_end - rec->buffer_start);
            const int priority_class = rec->priority_class;
            uint8_t* ring = rec->buffer_start;
            *rec = link_channel{};
            rec->number = n;
            rec->priority_class = priority_class;
            rec->buffer_start = rec->read_pos = rec->write_pos = ring;
            rec->buffer_end = ring + size;
            rec->room = size;
        }
        if (link_channel* rec = channels.recv_channels[n]) {
            const int size = static_cast<int>(rec->buffer_end - rec->buffer_start);
            uint8_t* ring = rec->buffer_start;
            *rec = link_channel{};
            rec->number = n;
            rec->buffer_start = rec->read_pos = rec->write_pos = ring;
            rec->buffer_end = ring + size;
            rec->room = size;
            rec->sequence_bit = RECV_START_SEQUENCE;
            rec->ack_code = KIND_NAK;
        }
    }
}

void free_link_channels() {
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (channels.send_channels[n] != nullptr) free(channels.send_channels[n]->buffer_start);
        if (channels.recv_channels[n] != nullptr) free(channels.recv_channels[n]->buffer_start);
    }
    channels = channels_state{};
    schedule = schedule_state{};
}

int send_room(int number) { return send_rec(number)->room; }

int send_queued(int number) { return send_rec(number)->queued; }

int send_has_unsent(int number) {
    const link_channel* rec = send_rec(number);
    return rec->room > 0 && rec->queued != rec->in_flight ? 1 : 0;
}

int send_write(int number, const uint8_t* bytes, int count) {
    link_channel* rec = send_rec(number);
    int n = count < rec->room ? count : rec->room;
    if (n <= 0) return 0;
    ring_copy_in(rec, rec->write_pos, bytes, n);
    rec->room -= n;
    rec->queued += n;
    if (rec->queue == nullptr)
        chan_queue_append(
            rec->priority_class != CLASS_BULK ? &schedule.ready_high : &schedule.ready_low, rec);
    return n;
}

void send_reset(int number) {
    link_channel* rec = send_rec(number);
    rec->room += rec->queued;
    if (rec->in_flight != 0) {
        schedule.in_flight_total -= rec->in_flight;
        rec->in_flight = 0;
        rec->sequence_bit ^= SEQUENCE_BIT;  // a late verdict on the discarded block is stale
        chan_queue_unlink(rec);
    }
    rec->queued = 0;
    rec->read_pos = rec->buffer_start;
    rec->write_pos = rec->buffer_start;
}

int recv_queued(int number) { return recv_rec(number)->queued; }

int recv_read(int number, uint8_t* buffer, int count) {
    link_channel* rec = recv_rec(number);
    int n = count < rec->queued ? count : rec->queued;
    if (n <= 0) return 0;
    ring_copy_out(rec, rec->read_pos, buffer, n);
    rec->room += n;
    rec->queued -= n;
    return n;
}

void recv_reset(int number) {
    link_channel* rec = recv_rec(number);
    rec->read_pos = rec->buffer_start;
    rec->write_pos = rec->buffer_start;
    rec->room += rec->queued;
    rec->queued = 0;
}

void chan_queue_append(channel_queue* queue, link_channel* record) {
    if (record->queue != nullptr) chan_queue_unlink(record);
    record->previous = queue->last;
    record->next = nullptr;
    if (queue->last != nullptr)
        queue->last->next = record;
    else
        queue->first = record;
    queue->last = record;
    record->queue = queue;
}

link_channel* chan_queue_pop(channel_queue* queue) {
    link_channel* record = queue->first;
    if (record != nullptr) chan_queue_unlink(record);
    return record;
}

void chan_queue_unlink(link_channel* record) {
    channel_queue* queue = record->queue;
    if (queue == nullptr) return;
    if (record->previous != nullptr)
        record->previous->next = record->next;
    else
        queue->first = record->next;
    if (record->next != nullptr)
        record->next->previous = record->previous;
    else
        queue->last = record->previous;
    record->queue = nullptr;
    record->next = nullptr;
    record->previous = nullptr;
}

int send_unframed(int number) {
    const link_channel* rec = channels.send_channels[number];
    return rec->queued - rec->in_flight;
}

bool send_up(int number) { return channels.send_channels[number] != nullptr; }

bool recv_up(int number) { return channels.recv_channels[number] != nullptr; }
