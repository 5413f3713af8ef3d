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
//                                  n bytes at pos, wrapping; pos advances (two memcpy)
//   ring_advance (rec, pos, n)     pos moved n bytes on, wrapping
//   channels_restart ()            every ring empty and every record as made, for a new link
//   free_link_channels ()          frees the rings and empties everything (tests only)
#pragma once

#include <cstdint>

#include "link/wire.h"

constexpr int CLASS_BULK = 0;     // file data: served last
constexpr int CLASS_NORMAL = 1;   // control, status, offers, requests
constexpr int CLASS_MESSAGE = 2;  // chat: a frame emptying the channel gets a trailing zero

struct channel_queue;

// One direction of a channel: its ring and where it stands in the link's scheduling.
struct link_channel {
    int number = 0;
    int priority_class = 0;  // a CLASS_* (send channels)
    int enquired = 0;        // the outstanding block has been enquired about since it was sent
    int sequence_bit = 0;    // 0 or SEQUENCE_BIT: send, the next block's; receive, the last block's
    int ack_code = 0;        // receive: KIND_ACK or KIND_NAK to send next
    int in_flight = 0;       // send: bytes of the block sent and not yet acknowledged, 0 for none
    int room = 0;            // free bytes in the ring
    int queued = 0;          // bytes in the ring, those in flight included
    int tries = 0;           // enquiries since the last verdict on this channel
    uint8_t* buffer_start = nullptr;  // the ring: [buffer_start, buffer_end)
    uint8_t* buffer_end = nullptr;
    uint8_t* read_pos = nullptr;     // the oldest byte not yet read (send: not yet acknowledged)
    uint8_t* write_pos = nullptr;    // where the next byte goes
    channel_queue* queue = nullptr;  // the scheduling queue the record is in, null when none
    link_channel* next = nullptr;    // its neighbours in that queue
    link_channel* previous = nullptr;
};

struct channel_queue {
    link_channel* first = nullptr;
    link_channel* last = nullptr;
};

// The rings: they are allocated once, after the link is up, and live for the whole run.
struct channels_state {
    link_channel send_records[LINK_CHANNELS];         // the records; the two lists below point at
    link_channel recv_records[LINK_CHANNELS];         // those allocated
    link_channel* send_channels[LINK_CHANNELS] = {};  // null: that channel is not allocated
    link_channel* recv_channels[LINK_CHANNELS] = {};
};

// Which channel the link serves next: the records wait in these queues. Everything here
// starts anew with every link (reset_link_state).
struct schedule_state {
    channel_queue ack_queue;      // receive channels that owe the peer a verdict
    channel_queue resend_high;    // lost blocks of the high classes: sent before anything new
    channel_queue ready_high;     // high-class channels with new data (CLASS_NORMAL, CLASS_MESSAGE)
    channel_queue resend_low;     // lost blocks of bulk channels
    channel_queue ready_low;      // bulk channels with new data; blocks the peer had no room for
    channel_queue wait_queue;     // channels with a block out, in the order sent: verdicts come so
    channel_queue enquiry_queue;  // blocks presumed lost whose enquiry is not sent yet
    int in_flight_total = 0;      // bytes of blocks not yet acknowledged, all channels together
};

extern channels_state channels;
extern schedule_state schedule;

void send_alloc(int number, int size, int priority_class);
void recv_alloc(int number, int size);
void channels_restart();
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
void ring_advance(const link_channel* rec, uint8_t*& pos, int n);
void free_link_channels();
