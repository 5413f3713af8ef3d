// Link channels: 32 send and 32 receive rings and the link's seven scheduling queues.
//
// Interface summary (a channel number must name an allocated channel of that direction):
//   send_alloc (n, size, class), recv_alloc (n, size)
//                                  a ring of that size; "Out of memory." through link_fail
//                                  (which channels exist, and their sizes, is the session's plan)
//   send_room (n), send_queued (n), send_has_unsent (n)   counts / 0-1
//   send_unframed (n)              bytes queued that no frame has carried yet
//   send_up (n), recv_up (n)       whether that channel's ring is allocated
//   send_write (n, bytes, count)   bytes taken: min(count, room), possibly 0
//   send_reset (n), recv_reset (n) discard contents
//   recv_queued (n), recv_read (n, buffer, count)   bytes waiting / bytes moved
//   chan_queue_append (q, rec), chan_queue_pop (q) -> rec or null, chan_queue_unlink (rec)
//   ring_copy_in (rec, pos, bytes, n), ring_copy_out (rec, pos, bytes, n)
//                                  n bytes at pos, wrapping; pos advances (at most two memcpy)
//   free_link_channels ()          frees the rings and empties everything (tests only)
#pragma once

#include <cstdint>

#include "link/wire.h"

constexpr int CLASS_BULK = 0;     // file data: served last
constexpr int CLASS_NORMAL = 1;   // control, status, offers, requests
constexpr int CLASS_MESSAGE = 2;  // chat: a frame emptying the channel gets a trailing zero

struct channel_queue;

struct link_channel {
    int number = 0;
    int priority_class = 0;
    int enquired = 0;
    int sequence_bit = 0;  // 0 or SEQUENCE_BIT
    int ack_code = 0;      // receive: KIND_ACK or KIND_NAK to send next
    int in_flight = 0;
    int room = 0;
    int queued = 0;
    int tries = 0;
    uint8_t* buffer_start = nullptr;
    uint8_t* buffer_end = nullptr;
    uint8_t* read_pos = nullptr;
    uint8_t* write_pos = nullptr;
    channel_queue* queue = nullptr;
    link_channel* next = nullptr;
    link_channel* previous = nullptr;
};

struct channel_queue {
    link_channel* first = nullptr;
    link_channel* last = nullptr;
};

struct channels_state {
    link_channel send_records[LINK_CHANNELS];
    link_channel recv_records[LINK_CHANNELS];
    link_channel* send_channels[LINK_CHANNELS] = {};
    link_channel* recv_channels[LINK_CHANNELS] = {};

    channel_queue ack_queue;
    channel_queue resend_high;
    channel_queue ready_high;
    channel_queue resend_low;
    channel_queue ready_low;
    channel_queue wait_queue;
    channel_queue enquiry_queue;

    int in_flight_total = 0;
};

extern channels_state channels;

void send_alloc(int number, int size, int priority_class);
void recv_alloc(int number, int size);
int send_room(int number);
int send_queued(int number);
int send_has_unsent(int number);
int send_unframed(int number);
bool send_up(int number);
bool recv_up(int number);
int send_write(int number, const uint8_t* bytes, int count);
void send_reset(int number);
int recv_queued(int number);
int recv_read(int number, uint8_t* buffer, int count);
void recv_reset(int number);
void chan_queue_append(channel_queue* queue, link_channel* record);
link_channel* chan_queue_pop(channel_queue* queue);
void chan_queue_unlink(link_channel* record);
void ring_copy_in(const link_channel* rec, uint8_t*& pos, const uint8_t* bytes, int n);
void ring_copy_out(const link_channel* rec, uint8_t*& pos, uint8_t* bytes, int n);
void free_link_channels();
