// Channel rings and the intrusive scheduling queues.
#include "link/channels.h"

#include "link_test_util.h"

namespace {

class Channels : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_link();
        alloc_test_channels();
    }
    void TearDown() override { reset_up_to_link(); }
};

TEST_F(Channels, WriteTakesOnlyWhatFitsAndQueuesByClass) {
    uint8_t data[300] = {};
    EXPECT_EQ(send_write(0, data, 300), 256);
    EXPECT_EQ(send_write(0, data, 1), 0);
    EXPECT_EQ(channels.send_channels[0]->queue, &schedule.ready_high);
    EXPECT_EQ(send_has_unsent(0), 0);  // full, although nothing is sent yet
    EXPECT_EQ(send_write(16, data, 10), 10);
    EXPECT_EQ(channels.send_channels[16]->queue, &schedule.ready_low);
    EXPECT_EQ(send_has_unsent(16), 1);
}

TEST_F(Channels, RingWrapsWithTwoCopiesAndEndExactlyGoesBackToStart) {
    link_channel* rec = channels.recv_channels[0];
    uint8_t in[256];
    for (int i = 0; i < 256; ++i) in[i] = static_cast<uint8_t>(i);
    ring_copy_in(rec, rec->write_pos, in, 200);
    rec->queued = 200;
    rec->room = 56;
    uint8_t out[256];
    EXPECT_EQ(recv_read(0, out, 150), 150);
    ring_copy_in(rec, rec->write_pos, in + 200, 56);  // ends exactly at the ring's end
    EXPECT_EQ(rec->write_pos, rec->buffer_start);
    ring_copy_in(rec, rec->write_pos, in, 100);
    rec->queued += 156;
    rec->room -= 156;
    EXPECT_EQ(recv_read(0, out, 256), 206);
    EXPECT_EQ(0, memcmp(out, in + 150, 106));
    EXPECT_EQ(0, memcmp(out + 106, in, 100));
    EXPECT_EQ(recv_read(0, out, 10), 0);
}

TEST_F(Channels, ResetDiscardsOutstandingBlockAndFlipsItsBit) {
    link_channel* rec = channels.send_channels[16];
    uint8_t data[40] = {};
    send_write(16, data, 40);
    chan_queue_pop(&schedule.ready_low);
    rec->in_flight = 30;
    schedule.in_flight_total = 30;
    chan_queue_append(&schedule.wait_queue, rec);
    send_reset(16);
    EXPECT_EQ(rec->sequence_bit, 0x20);
    EXPECT_EQ(rec->queue, nullptr);
    EXPECT_EQ(schedule.in_flight_total, 0);
    EXPECT_EQ(send_queued(16), 0);
    EXPECT_EQ(send_room(16), 2048);
    EXPECT_EQ(rec->read_pos, rec->buffer_start);
    EXPECT_EQ(schedule.wait_queue.first, nullptr);
}

TEST_F(Channels, QueuesUnlinkFromAnyPositionAndMoveRecords) {
    link_channel* a = channels.send_channels[16];
    link_channel* b = channels.send_channels[17];
    link_channel* c = channels.send_channels[18];
    channel_queue& q = schedule.wait_queue;
    for (link_channel* r : {a, b, c}) chan_queue_append(&q, r);
    chan_queue_unlink(b);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->previous, a);
    chan_queue_append(&schedule.resend_low, a);  // moves it
    EXPECT_EQ(q.first, c);
    EXPECT_EQ(q.last, c);
    EXPECT_EQ(chan_queue_pop(&q), c);
    EXPECT_EQ(chan_queue_pop(&q), nullptr);
    EXPECT_EQ(q.last, nullptr);
    chan_queue_unlink(b);  // in no queue: nothing happens
    EXPECT_EQ(chan_queue_pop(&schedule.resend_low), a);
}

}  // namespace
