#include "link/delivery.h"

#include "link/channels.h"
#include "link/codec.h"
#include "link/failure.h"
#include "link/line_model.h"
#include "link/retransmit.h"
#include "link/setup.h"
#include "link/widen.h"
#include "serial/port.h"

delivery_state delivery;
void (*link_trace)(link_event event, const link_channel* rec, int n) = nullptr;
uint8_t* (*frame_source)() = build_frame;
void (*frame_sink)(uint8_t* end) = handle_frame;

namespace {

constexpr int double_after = 128;  // good events between two doublings of the block size
// A verdict is repeated only in a frame that follows its own this soon: later the peer has
// had it, or has asked for it again.
constexpr int64_t repeat_fresh_ms = 2000;
constexpr int64_t repeat_alone_ms = 20;  // repeats with nothing else wait this long to ride along

struct profile {
    char letter;
    int block_max;
    int window_size;
};

constexpr profile profiles[] = {
    {'T', 256, 1},    {'S', 256, 512},   {'C', 256, 1024},
    {'M', 256, 4096}, {'L', 1024, 4096}, {'H', 1024, 16384},
};

[[noreturn]] void protocol_error() {
    link_fail("ZARN data link error.", AWAIT_GOODBYE, PAUSE_AFTER);
}

void trace(link_event event, const link_channel* rec, int n) {
    if (link_trace != nullptr) link_trace(event, rec, n);
}

void count_enquiry(link_channel* rec) {
    if (rec->tries++ > max_tries) link_fail("ZARN data link failure.", AWAIT_GOODBYE, PAUSE_AFTER);
}

uint8_t enquiry_byte(const link_channel* rec) {
    return static_cast<uint8_t>(KIND_ENQ | rec->number | rec->sequence_bit);
}

// An enquiry about `rec`'s outstanding block; the record goes to the end of the waiting
// line, where the answer will find it in the order the peer sends its verdicts.
uint8_t* append_enquiry(uint8_t* p, link_channel* rec, link_event event) {
    *p++ = enquiry_byte(rec);
    trace(event, rec, 0);
    chan_queue_append(&schedule.wait_queue, rec);
    rec->enquired = 1;
    timer_enquired(rec->number);
    widen_unanswered(retransmit.backoff[rec->number]);
    count_enquiry(rec);
    return p;
}

// Timeout enquiries: every block whose verdict is overdue, in the order they wait, so that
// one round trip settles them all.
uint8_t* append_overdue_enquiries(uint8_t* p) {
    link_channel* overdue[LINK_CHANNELS];
    int count = 0;
    for (link_channel* rec = schedule.wait_queue.first; rec != nullptr && count < LINK_CHANNELS;
         rec = rec->next)
        if (timer_overdue(rec->number)) overdue[count++] = rec;
    for (int i = 0; i < count; ++i) p = append_enquiry(p, overdue[i], EVENT_TIMEOUT_ENQUIRY);
    if (count > 0) timer_timed_out();
    return p;
}

// The verdicts owed now, after those of the last frame once more: a frame lost on the line
// then costs its verdicts nothing. Safe with a peer that takes every verdict literally: a
// repeat comes before every newer verdict, and only in the very next frame, before the peer
// can have sent a later block on that channel; so it is either the first it hears or stale.
// A channel with a verdict owed now is not repeated: that verdict says the same, or newer.
// The repeats of the last frame's verdicts (none once they are stale), then the verdicts owed
// now, which become the ones to repeat; build_frame forgets the old ones once a frame goes.
uint8_t* append_verdicts(uint8_t* p, int* repeated) {
    uint8_t now[LINK_CHANNELS];
    int count = 0;
    bool owed[LINK_CHANNELS] = {};
    while (link_channel* rec = chan_queue_pop(&schedule.ack_queue)) {
        now[count++] = static_cast<uint8_t>(rec->ack_code | rec->number | rec->sequence_bit);
        owed[rec->number] = true;
    }
    const uint8_t* start = p;
    if (serial.clock_ms - delivery.last_frame_ms <= repeat_fresh_ms)
        for (int i = 0; i < delivery.last_verdict_count; ++i)
            if (!owed[delivery.last_verdicts[i] & CHANNEL_MASK]) *p++ = delivery.last_verdicts[i];
    *repeated = static_cast<int>(p - start);
    for (int i = 0; i < count; ++i) *p++ = delivery.last_verdicts[i] = now[i];
    if (count > 0) delivery.last_verdict_count = count;
    return p;
}

// Next channel with data to send, by priority; records with nothing queued are dropped.
link_channel* next_ready() {
    channel_queue* order[] = {&schedule.resend_high, &schedule.ready_high, &schedule.resend_low,
                              &schedule.ready_low};
    for (channel_queue* queue : order) {
        while (link_channel* rec = chan_queue_pop(queue))
            if (rec->queued > 0) return rec;
    }
    return nullptr;
}

uint8_t* append_block(uint8_t* p, link_channel* rec) {
    *p++ = static_cast<uint8_t>(rec->sequence_bit | rec->number);
    int n = rec->queued < delivery.block_size ? rec->queued : delivery.block_size;
    uint8_t* read = rec->read_pos;  // the read position moves only when the block is acknowledged
    ring_copy_out(rec, read, p, n);
    p += n;
    schedule.in_flight_total += n;
    rec->in_flight = n;
    rec->enquired = 0;
    if (n == rec->queued && rec->priority_class == CLASS_MESSAGE) *p++ = 0x00;
    trace(EVENT_BLOCK, rec, n);
    timer_mark(rec->number);
    chan_queue_append(&schedule.wait_queue, rec);
    return p;
}

// The verdict on `rec`'s outstanding block arrived: take it out of the waiting line. Blocks
// sent before it and still waiting are presumed lost. A record whose loss was presumed but
// whose enquiry has not gone out yet may meet a verdict repeated for an earlier enquiry.
// An enquired record presumes nothing: its verdict may be the first one, late, or the
// answer, and the blocks now before it were sent after its own; taking them for lost sets
// off enquiries that go on for as long as blocks are sent.
void settle(link_channel* rec) {
    if (rec->queue == &schedule.enquiry_queue ||
        (rec->queue == &schedule.wait_queue && rec->enquired)) {
        chan_queue_unlink(rec);
        return;
    }
    if (rec->queue != &schedule.wait_queue) protocol_error();
    while (link_channel* earlier = chan_queue_pop(&schedule.wait_queue)) {
        if (earlier == rec) return;
        chan_queue_append(&schedule.enquiry_queue, earlier);
    }
}

// The channel an item names, in one direction's list: one never allocated is an error.
link_channel* channel_of(link_channel* const* list, uint8_t item) {
    link_channel* rec = list[item & CHANNEL_MASK];
    if (rec == nullptr) protocol_error();
    return rec;
}

// The send channel whose outstanding block a verdict is on; null for a stale verdict.
link_channel* judged(uint8_t item) {
    timer_any_verdict();
    link_channel* rec = channel_of(channels.send_channels, item);
    return rec->sequence_bit == (item & SEQUENCE_BIT) && rec->in_flight != 0 ? rec : nullptr;
}

void take_ack(uint8_t item) {
    link_channel* rec = judged(item);
    if (rec == nullptr) return;  // stale
    int n = rec->in_flight;
    trace(EVENT_ACK, rec, n);
    timer_verdict(rec->number, rec->enquired == 0);
    delivery.tx_bytes += n;
    rec->queued -= n;
    rec->room += n;
    schedule.in_flight_total -= n;
    ring_advance(rec, rec->read_pos, n);
    rec->sequence_bit ^= SEQUENCE_BIT;
    rec->in_flight = 0;
    settle(rec);
    if (rec->queued > 0)
        chan_queue_append(
            rec->priority_class != CLASS_BULK ? &schedule.ready_high : &schedule.ready_low, rec);
    delivery.tx_packets += 1;
    rec->tries = 0;
    widen_block_acked(rec->number);
    block_grow();
}

void take_nak(uint8_t item) {
    link_channel* rec = judged(item);
    if (rec == nullptr) return;  // stale
    trace(EVENT_NAK, rec, rec->in_flight);
    timer_verdict(rec->number, rec->enquired == 0);
    // A block grows by one after each that passed: one byte over the smallest is as short.
    if (rec->enquired) widen_block_lost(rec->number, rec->in_flight <= delivery.block_min + 1);
    schedule.in_flight_total -= rec->in_flight;
    rec->in_flight = 0;
    rec->sequence_bit ^= SEQUENCE_BIT;
    settle(rec);
    if (rec->enquired)  // the block was lost: send it again before anything new of its rank
        chan_queue_append(
            rec->priority_class != CLASS_BULK ? &schedule.resend_high : &schedule.resend_low, rec);
    else  // the peer had no room: let everything else go first
        chan_queue_append(&schedule.ready_low, rec);
    delivery.tx_errors += 1;
    block_shrink();
}

void take_enquiry(uint8_t item) {
    link_channel* rec = channel_of(channels.recv_channels, item);
    // Enquiries that piled up while we did not read (stopped, say) ask once.
    const bool owed = rec->queue == &schedule.ack_queue;
    chan_queue_append(&schedule.ack_queue, rec);
    if (rec->sequence_bit != (item & SEQUENCE_BIT)) {  // the block never arrived
        rec->ack_code = KIND_NAK;
        rec->sequence_bit = item & SEQUENCE_BIT;
        delivery.rx_errors += 1;
        block_shrink();
    } else if (!owed) {
        widen_verdict_asked(rec->number);  // our verdict did not get there
    }
}

void take_data(uint8_t item, const uint8_t* data, const uint8_t* end) {
    link_channel* rec = channel_of(channels.recv_channels, item);
    chan_queue_append(&schedule.ack_queue, rec);
    rec->sequence_bit = item & SEQUENCE_BIT;
    widen_block_stored(rec->number);
    int n = static_cast<int>(end - data);
    if (rec->room < n) {
        rec->ack_code = KIND_NAK;
        delivery.rx_errors += 1;
        block_shrink();
        return;
    }
    ring_copy_in(rec, rec->write_pos, data, n);
    rec->room -= n;
    rec->queued += n;
    rec->ack_code = KIND_ACK;
    delivery.rx_bytes += n;
    delivery.rx_packets += 1;
    block_grow();
}

}  // namespace

uint8_t* build_frame() {
    if (codec.link_interrupted != 0) return nullptr;
    // With the peer sending too, our verdicts ride behind whatever we have queued: a frame
    // built later, when the line is nearly free, leaves as soon and carries fresher ones.
    if (model_hold()) return nullptr;
    int repeated = 0;
    uint8_t* p = append_verdicts(codec.tx_frame, &repeated);
    const bool verdicts_now = p != codec.tx_frame + repeated;
    p = append_overdue_enquiries(p);
    while (link_channel* rec = chan_queue_pop(&schedule.enquiry_queue))
        p = append_enquiry(p, rec, EVENT_ENQUIRY);
    if (schedule.in_flight_total < model_block_limit(delivery.window_size, delivery.block_size))
        if (link_channel* rec = next_ready()) p = append_block(p, rec);
    // Repeats alone wait a little for a frame to ride in: on a noisy line blocks are short,
    // and a frame of their own right behind every one cost several percent of the line.
    const bool repeats_only = repeated > 0 && p == codec.tx_frame + repeated;
    if (repeats_only && serial.clock_ms - delivery.last_frame_ms < repeat_alone_ms) return nullptr;
    if (p == codec.tx_frame && serial.clock - codec.last_tx_time <= keepalive_s) return nullptr;
    if (!verdicts_now) delivery.last_verdict_count = 0;  // repeated once, or nothing to repeat
    uint16_t trailer = static_cast<uint16_t>(~crc16(codec.tx_frame, p));
    *p++ = static_cast<uint8_t>(trailer >> 8);
    *p++ = static_cast<uint8_t>(trailer);
    delivery.last_frame_ms = serial.clock_ms;
    timer_frame_built(static_cast<int>(p - codec.tx_frame));
    trace(EVENT_FRAME, nullptr, static_cast<int>(p - codec.tx_frame));
    return p;
}

void handle_frame(uint8_t* end) {
    codec.last_rx_time = serial.clock;
    const uint8_t* p = codec.rx_frame;
    timer_heard(static_cast<int>(end - p));
    if (end - p < TRAILER_BYTES || crc16(p, end) != LINK_CRC_RESIDUE) {
        trace(EVENT_BAD_FRAME, nullptr, static_cast<int>(end - p));
        timer_bad_frame(static_cast<int>(end - p));
        widen_frame_heard(false);
        return;
    }
    delivery.good_frames += 1;
    delivery.last_good_time = serial.clock;
    widen_frame_heard(true);
    const uint8_t* items_end = end - TRAILER_BYTES;
    for (; p < items_end; ++p) {
        uint8_t item = *p;
        switch (item & KIND_MASK) {
        case KIND_ACK: take_ack(item); break;
        case KIND_NAK: take_nak(item); break;
        case KIND_ENQ: take_enquiry(item); break;
        case KIND_DATA: take_data(item, p + 1, items_end); return;
        }
    }
}

void block_grow() {
    if (++delivery.good_count >= double_after) {
        delivery.block_size *= 2;
        delivery.good_count = 0;
    } else {
        delivery.block_size += 1;
    }
    if (delivery.block_size > delivery.block_max) delivery.block_size = delivery.block_max;
}

void block_shrink() {
    if (delivery.good_count != 0)
        delivery.block_size -= delivery.block_size / 16;
    else
        delivery.block_size /= 2;
    if (delivery.block_size < delivery.block_min) delivery.block_size = delivery.block_min;
    delivery.good_count = 0;
}

int set_profile(char letter) {
    link_setup.profile_letter = letter;
    for (const profile& prof : profiles) {
        if (prof.letter != letter) continue;
        delivery.block_max = prof.block_max;
        delivery.window_size = prof.window_size;
        delivery.block_size = prof.block_max;
        return 0;
    }
    return -1;
}

int profile_rank(char letter) {
    constexpr int count = static_cast<int>(sizeof profiles / sizeof profiles[0]);
    if (letter == '\0') return count;
    for (int i = 0; i < count; ++i)
        if (profiles[i].letter == letter) return i;
    return -1;
}

link_figures link_counters() {
    return {delivery.window_size, schedule.in_flight_total, delivery.block_size,
            delivery.rx_packets,  delivery.rx_bytes,        delivery.rx_errors,
            delivery.tx_packets,  delivery.tx_bytes,        delivery.tx_errors};
}

char profile_letter() { return link_setup.profile_letter; }

int64_t link_line_rate() { return line_model.rate; }
