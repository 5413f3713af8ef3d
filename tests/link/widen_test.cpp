// Widening: what an end sends widens a step only when the same data keep failing, says so
// once, and never between ends that did not both announce it.
#include "link/widen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/codec.h"
#include "link/setup.h"
#include "support/state.h"

namespace {

std::vector<std::string> said;

class Widen : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_link();
        said.clear();
        widen_install_notice([](const char* text) { said.push_back(text); });
        codec.link_mode = MODE_WIDEN;
    }
    void TearDown() override { reset_up_to_link(); }
    static void lose(int channel, bool smallest, int times) {
        for (int i = 0; i < times; ++i) widen_block_lost(channel, smallest);
    }
};

TEST_F(Widen, SameDataFailingAtTheSmallestBlockWidensStepByStep) {
    widen_start(MODE_WIDEN);
    ASSERT_EQ(widen.level, WIDEN_DEFAULT);
    const bool smallest = true;
    lose(16, false, 10);  // a shorter block may still pass
    lose(16, smallest, widen_losses - 1);
    widen_block_acked(16);  // the data moved on
    lose(16, smallest, widen_losses - 1);
    lose(17, smallest, 1);  // another channel's counts are its own
    EXPECT_EQ(widen.level, WIDEN_DEFAULT);
    EXPECT_EQ(link_setup.char_flags[0x00], 0);
    lose(16, smallest, 1);
    EXPECT_EQ(widen.level, WIDEN_CONTROLS);
    EXPECT_EQ(link_setup.char_flags[0x00], CF_ESCAPE);  // sent escaped, not dropped raw
    EXPECT_EQ(link_setup.char_flags[0x7F], CF_ESCAPE);
    EXPECT_EQ(said, std::vector<std::string>{
                        "Line damages bytes: every control byte, 0x9D, ~ and 0xFF escaped."});
    // Our verdicts asked for again and again: our frames do not get there.
    for (int i = 0; i < widen_asked - 1; ++i) widen_verdict_asked(3);
    widen_block_stored(3);
    for (int i = 0; i < widen_asked; ++i) widen_verdict_asked(3);
    EXPECT_EQ(widen.level, WIDEN_PRINTABLE);
    EXPECT_EQ(codec.send_printable, 1);
    EXPECT_FALSE(widen_step());  // the last step
    EXPECT_EQ(said.size(), 2u);
}

// Enquiries nobody answers: a line that stalls carries nothing, noise spoils a frame now and
// then; only frames that keep coming bad widen.
TEST_F(Widen, UnansweredEnquiriesWidenOnlyWhileThePeersFramesComeBad) {
    widen_start(MODE_WIDEN);
    for (int count = 1; count <= 6; ++count) widen_unanswered(count);  // a stall
    widen_frame_heard(false);
    widen_frame_heard(true);
    for (int count = 1; count <= 6; ++count) widen_unanswered(count);  // noise
    EXPECT_EQ(widen.level, WIDEN_DEFAULT);
    for (int i = 0; i < widen_silent_enquiries; ++i) widen_frame_heard(false);
    for (int count = 1; count <= widen_silent_enquiries; ++count) widen_unanswered(count);
    EXPECT_EQ(widen.level, WIDEN_CONTROLS);
}

// A list that escapes `[` leaves `{{` its old meaning: no printable step then.
TEST_F(Widen, NoPrintableStepWhenAListEscapesTheMark) {
    set_char_flags('[', CF_ESCAPE | CF_DROP);
    widen_start(MODE_WIDEN);
    EXPECT_TRUE(widen_step());
    EXPECT_FALSE(widen_step());
    EXPECT_EQ(codec.send_printable, 0);
}

}  // namespace
