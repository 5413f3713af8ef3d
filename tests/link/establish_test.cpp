// Establishment: our handshake block and its wire form, the peer's block taken from its
// hex text, the mode union, the confirmations, and the ways the handshake ends.
#include "link/establish.h"

#include <gtest/gtest.h>

#include <string>

#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/line_model.h"
#include "link/pump.h"
#include "link/relink.h"
#include "link/supervise.h"
#include "link_test_util.h"
#include "serial/port.h"

namespace {

const std::string banner(reinterpret_cast<const char*>(link_banner), sizeof link_banner);

// One copy of a block as a sender puts it on the line.
std::string wire_copy(const std::string& block) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = banner + "*";
    for (unsigned char c : block) {
        text += digits[c >> 4];
        text += digits[c & 0x0F];
    }
    return text + "*\r";
}

std::string peer_block(int mode, const std::string& lists = "", int version = 3) {
    return with_trailer(bytes({version, 0x4B, mode}) + lists);
}

class Handshake : public ::testing::Test {
   protected:
    bool established = false;

    void SetUp() override {
        reset_up_to_link();  // no line: everything written stays in establish.out
        build_handshake_block(kestro_identification, 0);
    }
    void TearDown() override { reset_up_to_link(); }

    void feed(const std::string& text) {
        for (unsigned char c : text)
            if (handshake_byte(c)) established = true;
    }
    static std::string sent() {
        return std::string(reinterpret_cast<char*>(establish.out) + establish.out_pos,
                           establish.out_len - establish.out_pos);
    }
    static void forget_sent() { establish.out_pos = establish.out_len = 0; }
    static std::string our_copy() { return wire_copy(bytes({0x03, 0x63, 0x00, 0x34, 0x4A})); }
};

TEST_F(Handshake, OurBlockAndItsWireForm) {
    // Default options: 03 63 00 34 4A, sent as hex between '*' marks after the banner.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(codec.tx_frame), establish.block_length),
              bytes({0x03, 0x63, 0x00, 0x34, 0x4A}));
    handshake_send_pass();
    EXPECT_EQ(sent(), banner + "*036300344A*\r");
    // Flow control: both lists hold XON and XOFF; `{` is never listed.
    link_setup.char_flags[0x11] = link_setup.char_flags[0x13] = link_setup.char_flags['{'] =
        CF_ESCAPE | CF_DROP;
    build_handshake_block(kestro_identification, MODE_ESC_OUT | MODE_ESC_IN);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(codec.tx_frame), establish.block_length),
              with_trailer(bytes({0x03, 0x63, 0x03, 0x11, 0x13, '{', 0x11, 0x13, '{'})));
    EXPECT_EQ(link_setup.char_flags['{'], 0);
}

TEST_F(Handshake, ResetKeepsTheCommandLineProfileLetterButNotItsSizes) {
    link_setup.profile_letter = 'T';
    delivery.block_max = delivery.block_size = 64;
    delivery.window_size = 1;
    delivery.rx_errors = 9;
    codec.link_interrupted = codec.in_frame = 1;
    termination.fail_message = "earlier";
    reset_link_state(0x30);
    EXPECT_EQ(link_setup.profile_letter, 'T');
    EXPECT_EQ(delivery.block_max + delivery.block_size + delivery.window_size, 1024 + 1024 + 16384);
    EXPECT_EQ(delivery.good_count, 96);
    EXPECT_EQ(delivery.rx_errors + codec.link_interrupted + codec.in_frame, 0);
    EXPECT_EQ(codec.link_mode, 0x30);
    EXPECT_STREQ(termination.fail_message, "ZARN data link closed.");
    delivery = delivery_state{};
}

TEST_F(Handshake, PeerModeBitsBecomeTheirMirrorInOurMode) {
    struct {
        int peer;
        std::string lists;
        int ours;
    } cases[] = {
        {0x04, "", MODE_7BIT_IN},
        {0x08, "", MODE_7BIT_OUT},
        {0x10, "", MODE_B85_IN},
        {0x20, "", MODE_B85_OUT},
        {0x30, "", MODE_B85_IN | MODE_B85_OUT},
        {0x01, "\x11{", MODE_ESC_IN},
        {0x02, "\x13{", MODE_ESC_OUT},
    };
    for (const auto& c : cases) {
        SetUp();
        feed(wire_copy(peer_block(c.peer, c.lists)));
        EXPECT_EQ(establish.got_block, 1) << c.peer;
        EXPECT_EQ(codec.link_mode, c.ours) << c.peer;
    }
    // The first list is escaped by the peer (raw copies are noise), the second dropped by
    // it; `Z`, `\` and `]` are never flagged, their escapes being control sequences.
    SetUp();
    feed(wire_copy(peer_block(0x03, "\x11\x13Z\\]{\x13\x14Z\\]{")));
    EXPECT_EQ(link_setup.char_flags[0x11], CF_DROP);
    EXPECT_EQ(link_setup.char_flags[0x13], CF_DROP | CF_ESCAPE);
    EXPECT_EQ(link_setup.char_flags[0x14], CF_ESCAPE);
    EXPECT_EQ(link_setup.char_flags['Z'] + link_setup.char_flags['\\'] + link_setup.char_flags[']'],
              0);
    EXPECT_EQ(codec.link_mode, 0x03);
}

TEST_F(Handshake, ModeTextAndHexDigits) {
    struct {
        int mode;
        const char* text;
    } cases[] = {{0x00, "8/8"},  {0x03, "8C/8C"}, {0x30, "7X/7X"}, {0x33, "7X/7X"},
                 {0x0C, "7/7"},  {0x0F, "7C/7C"}, {0x22, "7X/8"},  {0x09, "7/8C"},
                 {0x14, "8/7X"}, {0x3C, "7X/7X"}};
    for (const auto& c : cases) {
        codec.link_mode = c.mode;
        make_mode_text();
        EXPECT_STREQ(establish.mode_text, c.text) << c.mode;
    }
    for (int v = 0; v < 16; ++v) EXPECT_EQ(hex_value(hex_digit(v)), v);
    EXPECT_EQ(hex_digit(10), 'A');
    EXPECT_NE(hex_value('a'), 10);
}

TEST_F(Handshake, AcceptedBlockIsConfirmedAndThePeersConfirmationCompletes) {
    // The peer's banner carries one Ctrl-X: no interruption.
    feed(wire_copy(peer_block(0x03, "\x11\x13{\x11\x13{")));
    EXPECT_FALSE(established);
    EXPECT_EQ(establish.got_block, 1);
    // Each '*' sends our copy again; the good block is answered with `{}` between them.
    EXPECT_EQ(sent(), our_copy() + "{}" + our_copy());
    forget_sent();
    // Once accepted: two Ctrl-X are no interruption, and a further good block is only
    // confirmed, neither applied nor checked for its version.
    feed("\x18\x18");
    feed(wire_copy(peer_block(0x30, "", 2)));
    EXPECT_EQ(codec.link_mode, 0x03);
    EXPECT_EQ(sent(), our_copy() + "{}" + our_copy());
    forget_sent();
    feed("{}");
    EXPECT_TRUE(established);
    EXPECT_EQ(sent(), "{}");
    EXPECT_EQ(handshake_finish(), 0x4B);
    EXPECT_STREQ(establish.mode_text, "8C/8C");
    EXPECT_EQ(link_setup.char_flags['{'], CF_ESCAPE | CF_DROP);
    EXPECT_EQ(codec.in_frame, 1);
}

// Mode bit 0x40 says an end escapes for lines that damage bytes. Only when both blocks carry
// it does anything change, on top of what the mode text tells: a literal peer, or an older
// end, sees bytes as ever.
TEST_F(Handshake, EscapesForDamagingLinesOnlyWhenBothBlocksSaySo) {
    build_handshake_block(kestro_identification, MODE_WIDEN);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(codec.tx_frame), establish.block_length),
              bytes({0x03, 0x63, 0x40, 0x7C, 0x8E}));
    for (int peer_mode : {0x00, MODE_WIDEN}) {
        SetUp();
        reset_link_state(MODE_WIDEN);
        feed(wire_copy(peer_block(peer_mode)) + "{}");
        ASSERT_TRUE(established);
        handshake_finish();
        EXPECT_STREQ(establish.mode_text, "8/8");
        const bool both = peer_mode != 0;
        EXPECT_EQ(codec.link_mode & (MODE_ESC_OUT | MODE_ESC_IN),
                  both ? MODE_ESC_OUT | MODE_ESC_IN : 0);
        for (uint8_t b : {0x0D, 0x11, 0x13, 0x1D, 0x9D, 0x7E, 0xFF, 0x7B})
            EXPECT_EQ(link_setup.char_flags[b], both ? CF_ESCAPE | CF_DROP : 0) << int(b);
        EXPECT_EQ(link_setup.char_flags[0x0A], 0);
    }
}

TEST_F(Handshake, BraceBeforeTheBlockStopsOurCopiesAndTheBlockCompletes) {
    feed(banner + "{}");  // the peer's copy of its block was lost
    EXPECT_FALSE(established);
    handshake_send_pass();  // the five-second resend
    EXPECT_EQ(sent(), "");
    feed(wire_copy(peer_block(0x00)));
    EXPECT_TRUE(established);
    EXPECT_EQ(sent(), "{}");
}

TEST_F(Handshake, SpoiledBlocksAreIgnoredAndAnsweredWithOurBlock) {
    const std::string spoiled[] = {
        banner + "*036300344a*\r",                        // lower-case hex
        wire_copy(peer_block(0x01, "\x11\x13")),          // first list not closed
        wire_copy(peer_block(0x03, "\x11{\x13")),         // second list not closed
        banner + "*0000*\r",                              // good CRC, but no header
        banner + "*036300344*\r",                         // odd number of digits
        wire_copy(peer_block(0x00)).replace(20, 1, "F"),  // bad CRC
    };
    for (const std::string& text : spoiled) {
        SetUp();
        feed(text);
        EXPECT_EQ(establish.got_block, 0) << text;
        EXPECT_EQ(codec.link_mode + link_setup.char_flags[0x11], 0) << text;
        EXPECT_EQ(sent(), our_copy() + our_copy()) << text;
    }
    SetUp();
    feed("*" + std::string(3000, '0') + "*");  // collecting stops at its limit
    EXPECT_LE(establish.collect_pos, handshake_collect_max);
    feed(wire_copy(peer_block(0x00)));
    EXPECT_EQ(establish.got_block, 1);
}

TEST_F(Handshake, VersionTwoBlockIsIncompatible) {
    EXPECT_EQ(link_outcome([&] { feed(wire_copy(peer_block(0x00, "", 2))); }),
              "0 Incompatible program version.");
}

TEST_F(Handshake, PeerInterruptsWithTwoCtrlXOrItsGoodbye) {
    for (const char* text : {"\x18\x18", "*{|"}) {
        SetUp();
        EXPECT_EQ(link_outcome([&] { feed(text); }), "0 Initialization interrupted.") << text;
    }
}

// An earlier session's goodbye still on the line must not stop our block: both ends would
// wait for each other until the silence time-out.
TEST_F(Handshake, LeftoversOfAnEarlierSessionAreIgnoredUntilThePeerSpeaks) {
    feed("{}{|{}");
    EXPECT_EQ(establish.got_brace, 0);
    handshake_send_pass();
    EXPECT_EQ(sent(), our_copy());
    feed(wire_copy(peer_block(0x00)) + "{}");
    EXPECT_TRUE(established);
}

// A terminal that echoes shows our banner's control bytes as ^Y and ^X: the copy after it
// is ours, neither applied nor confirmed nor answered with another copy (which would come
// back too). A session still running on the line sends `{}` with every frame, and stray
// banner bytes and marks in its data: none of it confirms before the peer's whole banner.
// The real peer, after a banner of real bytes, links at once.
TEST_F(Handshake, OurEchoAndStrayFrameEndsGetNothingBeforeThePeersBanner) {
    feed("^YKESTRO^X v1.0 *036300344A*\r\n");
    EXPECT_EQ(establish.got_block, 0);
    EXPECT_EQ(sent(), "");
    EXPECT_TRUE(relink.echo_told);
    feed(std::string("\x19*data*{}", 10));
    EXPECT_EQ(establish.got_brace, 0);
    feed(wire_copy(peer_block(0x00)) + "{}");
    EXPECT_TRUE(established);
}

// The peer's handshake on a running link is a restart only when no good frame end follows
// it: a captured session inside a file is followed by its frame's end.
TEST(Relink, HandshakeCopyOnARunningLinkAndNoFrameAfterLinkUp) {
    reset_up_to_link();
    serial.clock = 1000;
    relink_link_up(link_banner);
    const std::string copy = wire_copy(peer_block(0x00));
    auto watch = [](const std::string& text) {
        relink_watch(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    };
    delivery.good_frames += 1;  // the peer's first frame
    watch(copy);
    delivery.good_frames += 1;  // the end of the frame the copy was data in
    serial.clock += restart_confirm_s + 5;
    EXPECT_EQ(relink_check(), RELINK_NONE);
    watch(copy.substr(0, 9));  // split across two reads
    watch(copy.substr(9));
    serial.clock += restart_confirm_s;
    EXPECT_EQ(relink_check(), RELINK_NONE);
    serial.clock += 1;
    EXPECT_EQ(relink_check(), RELINK_RESTARTED);

    // At 300 baud a frame holding a copy as data takes far longer than that to end.
    relink_link_up(link_banner);
    delivery.good_frames += 1;
    line_model.rate = 30;
    watch(copy);
    serial.clock += restart_confirm_s + 60;
    EXPECT_EQ(relink_check(), RELINK_NONE);
    line_model.rate = 0;

    relink_link_up(link_banner);  // a link that never hears a good frame was no peer's
    serial.clock += first_frame_s;
    EXPECT_EQ(relink_check(), RELINK_NONE);
    serial.clock += 1;
    EXPECT_EQ(relink_check(), RELINK_NO_FRAME);
    reset_up_to_link();
}

TEST_F(Handshake, GoodbyeRightAfterTheCompletingBraceEndsTheLink) {
    fake_line line;
    feed(wire_copy(peer_block(0x00)) + "{}");
    ASSERT_TRUE(established);
    handshake_finish();
    line.feed("{|{}");  // a peer that rejected our block says goodbye at once
    EXPECT_EQ(link_outcome(link_receive), "returned");  // noted: the first cycle ends the run
    EXPECT_TRUE(peer_said_goodbye());
}

}  // namespace
