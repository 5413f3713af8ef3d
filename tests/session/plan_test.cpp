// The session's channel plan: which channels exist, with what rings and classes.
#include "session/plan.h"

#include <gtest/gtest.h>

#include "link/channels.h"
#include "support/state.h"

namespace {

TEST(ChannelPlan, FixedSetHasItsSizesAndClasses) {
    state_reset<reset_up_to_session> reset;
    alloc_link_channels();
    for (int n = 4; n <= 7; ++n) {
        EXPECT_EQ(channels.send_channels[n], nullptr);
        EXPECT_EQ(channels.recv_channels[n], nullptr);
    }
    struct expect {
        int number, send_size, send_class, recv_size;
    };
    for (expect e : {expect{0, 256, 1, 256}, expect{1, 256, 1, 512}, expect{2, 528, 1, 1024},
                     expect{3, 512, 1, 1024}, expect{8, 256, 2, 514}, expect{15, 256, 2, 514},
                     expect{16, 2048, 0, 2048}, expect{31, 2048, 0, 2048}}) {
        EXPECT_EQ(send_room(e.number), e.send_size) << e.number;
        EXPECT_EQ(channels.send_channels[e.number]->priority_class, e.send_class);
        EXPECT_EQ(channels.recv_channels[e.number]->room, e.recv_size);
        EXPECT_EQ(channels.recv_channels[e.number]->sequence_bit, 0x20);
        EXPECT_EQ(channels.recv_channels[e.number]->ack_code, 0xC0);
    }
}

}  // namespace
