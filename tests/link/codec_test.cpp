// Frame codec: CRC, the four line modes, control sequences, interruption, chunking.
#include <random>

#include "link/pump.h"
#include "link/setup.h"
#include "link/supervise.h"
#include "link_test_util.h"
#include "serial/port.h"

namespace {

// Independent bitwise CRC-16/GENIBUS register (no table, no final complement).
uint16_t crc_bitwise(const std::string& data) {
    uint16_t reg = 0xFFFF;
    for (unsigned char c : data) {
        reg ^= static_cast<uint16_t>(c << 8);
        for (int i = 0; i < 8; ++i)
            reg = static_cast<uint16_t>(reg & 0x8000 ? (reg << 1) ^ 0x1021 : reg << 1);
    }
    return reg;
}

uint16_t crc_of(const std::string& s) {
    auto* p = reinterpret_cast<const uint8_t*>(s.data());
    return crc16(p, p + s.size());
}

class Codec : public ::testing::Test {
   protected:
    state_reset<reset_up_to_link> reset;  // before the line takes its descriptor
    void SetUp() override { codec_with_tap(0); }
    std::string encode(int mode, std::vector<std::string> frames) {
        codec_with_tap(mode);
        for (auto& f : frames) frames_to_send.push_back(f);
        link_transmit();
        EXPECT_EQ(codec.pending_count, 0);
        EXPECT_FALSE(serial.want_write);
        return line.drain();
    }
    std::vector<std::string> decode(int mode, const std::string& wire) {
        codec_with_tap(mode);
        line.feed(wire);
        link_receive();
        return frames_received;
    }
    fake_line line;
};

TEST(Crc, MatchesBitwiseReferenceAndExamples) {
    EXPECT_EQ(with_trailer("abc").substr(3), bytes({0xAE, 0xB5}));
    EXPECT_EQ(with_trailer(""), bytes({0x00, 0x00}));
    EXPECT_EQ(crc_of(with_trailer("abc")), LINK_CRC_RESIDUE);
    EXPECT_EQ(crc_of(bytes({0, 0})), LINK_CRC_RESIDUE);
    std::mt19937 rng(7);
    for (int len = 0; len < 300; ++len) {
        std::string data;
        for (int i = 0; i < len; ++i) data += static_cast<char>(rng());
        ASSERT_EQ(crc_of(data), crc_bitwise(data)) << "length " << len;
    }
}

TEST_F(Codec, PlainModeKeepsBracesApartFromControlSequences) {
    EXPECT_EQ(encode(0, {"{z"}), "{[z{}");
    EXPECT_EQ(encode(0, {"a{"}), "a{{}");
    EXPECT_EQ(encode(0, {"{{|x"}), "{{[|x{}");
    EXPECT_EQ(decode(0, "{}{[z{}a{{}{{[|x{}"), (std::vector<std::string>{"{z", "a{", "{{|x"}));
}

TEST_F(Codec, EscapedModeSendsFlaggedBytesAsPairsAndDropsThemRaw) {
    codec_with_tap(MODE_ESC_OUT);
    std::string wire;
    {
        link_setup.char_flags[0x11] = CF_ESCAPE | CF_DROP;
        link_setup.char_flags[0x13] = CF_ESCAPE | CF_DROP;
        link_setup.char_flags['{'] = CF_ESCAPE;
        frames_to_send.push_back(bytes({0x11, 'A', 0x13, '{'}));
        link_transmit();
        wire = line.drain();
    }
    EXPECT_EQ(wire, bytes({'{', '1', 'A', '{', '3', '{', '[', '{', '}'}));
    codec_with_tap(MODE_ESC_IN);  // the flags outlive the codec's reset
    line.feed("{}" + std::string("\x11") + wire);
    link_receive();
    EXPECT_EQ(frames_received, std::vector<std::string>{bytes({0x11, 'A', 0x13, '{'})});
}

TEST_F(Codec, Base85GroupsAndIgnoredBlanks) {
    EXPECT_EQ(encode(MODE_B85_OUT, {"abc"}), "+B>H{}");
    EXPECT_EQ(encode(MODE_B85_OUT, {"abcd"}).size(), 5u + 2);
    EXPECT_EQ(encode(MODE_B85_OUT, {"abcde"}).size(), 7u + 2);
    EXPECT_EQ(encode(MODE_B85_OUT, {bytes({0, 0, 0, 0})}), "!!!!!{}");  // no `z` shorthand
    std::string five = encode(MODE_B85_OUT, {"abcde"});
    std::string blanked = "{}" + five.substr(0, 2) + " \r\n" + five.substr(2);
    EXPECT_EQ(decode(MODE_B85_IN, blanked), std::vector<std::string>{"abcde"});
    EXPECT_EQ(decode(MODE_B85_IN, "{}+B>H{}"), std::vector<std::string>{"abc"});
    // One stray digit after a full group yields nothing.
    std::string four = encode(MODE_B85_OUT, {"abcd"});
    EXPECT_EQ(decode(MODE_B85_IN, "{}" + four.substr(0, 5) + "!{}"),
              std::vector<std::string>{"abcd"});
}

// Between two ends that widen, `{{` opens a base-85 frame; a frame after it is escaped
// 8-bit again. Elsewhere `{{` stays an escaped `[`, as a peer's list may ask.
TEST_F(Codec, PrintableMarkOpensOneBase85FrameOnlyWhenBothWiden) {
    const int escaped = MODE_ESC_OUT | MODE_ESC_IN;
    codec_with_tap(escaped);
    codec_send_printable();
    frames_to_send.push_back("abc");
    link_transmit();
    EXPECT_EQ(line.drain(), "{{+B>H{}");
    codec_with_tap(escaped);
    codec_printable_marks(true);
    line.feed("{}{{+B>H{}ab{}");
    link_receive();
    EXPECT_EQ(frames_received, (std::vector<std::string>{"abc", "ab"}));
    EXPECT_EQ(decode(escaped, "{}{{{}"), std::vector<std::string>{"["});
}

TEST_F(Codec, SevenBitGroupsPreserveHighBits) {
    std::string frame = bytes({0x80, 0x01, 0x82, 0x03, 0x84, 0x05, 0x86, 0x07, 0x88});
    std::string wire = encode(MODE_7BIT_OUT, {frame});
    EXPECT_EQ(wire, bytes({0x75, 0, 1, 2, 3, 4, 5, 6, 0x00, 7, 8, '{', '}'}));
    EXPECT_EQ(decode(MODE_7BIT_IN, "{}" + wire), std::vector<std::string>{frame});
    // Base-85 wins over 7-bit when both are asked for.
    EXPECT_EQ(encode(MODE_B85_OUT | MODE_7BIT_OUT, {"abc"}), "+B>H{}");
}

TEST_F(Codec, FrameAfterIdleLineStartsWithBrace) {
    codec_with_tap(0);
    serial.clock = 100;
    frames_to_send = {"x", "y"};
    link_transmit();
    EXPECT_EQ(line.drain(), "{}x{}y{}");  // only the first frame follows an idle line
    EXPECT_EQ(codec.last_tx_time, 100);
}

TEST_F(Codec, BraceSplitAcrossReadsStillEndsFrame) {
    codec_with_tap(0);
    line.feed("{}ab{");
    link_receive();
    EXPECT_TRUE(frames_received.empty());
    EXPECT_EQ(codec.pending_brace, 1);
    line.feed("}");
    link_receive();
    EXPECT_EQ(frames_received, std::vector<std::string>{"ab"});
}

TEST_F(Codec, EmptyFramesAndBytesOutsideFrames) {
    // Bytes before the first `{}` are thrown away; `{}{}` hands over an empty frame.
    EXPECT_EQ(decode(0, "noise{}{}ok{}"), (std::vector<std::string>{"", "ok"}));
}

TEST_F(Codec, TerminationMidFrameOnlyAbandonsTheFrame) {
    EXPECT_EQ(decode(0, "{}ab{|cd{}ef{}"), std::vector<std::string>{"ef"});
}

// The codec only notes the goodbye: nothing after it is decoded, and the pump neither reads
// nor sends any more; the session's cycle ends the run.
TEST_F(Codec, TerminationRightAfterFrameEndEndsTheLink) {
    EXPECT_EQ(link_outcome([&] { decode(0, "{}ab{}{|cd{}"); }), "returned");
    EXPECT_EQ(frames_received, std::vector<std::string>{"ab"});
    EXPECT_TRUE(peer_said_goodbye());
    line.feed("ef{}");
    frames_to_send.push_back("gh");
    EXPECT_EQ(link_outcome(link_pump), "returned");
    EXPECT_EQ(frames_received, std::vector<std::string>{"ab"});
    EXPECT_EQ(line.drain(), "");
}

TEST_F(Codec, OverlongFrameIsAbandoned) {
    std::string longest(FRAME_ABANDON_AT - 1, 'a');
    EXPECT_EQ(decode(0, "{}" + longest + "{}"), std::vector<std::string>{longest});
    EXPECT_TRUE(decode(0, "{}" + longest + "a{}").empty());
    // In base-85 mode a full group may pass the mark; the buffer still holds it.
    std::string digits((FRAME_ABANDON_AT / 4 + 3) * 5, 'u');
    EXPECT_TRUE(decode(MODE_B85_IN, "{}" + digits + "+B>{}").empty());
}

TEST_F(Codec, InterruptionCountsEveryOtherCtrlX) {
    codec_with_tap(0);
    line.feed("{}ab{z" + std::string(6, '\x18'));
    link_receive();
    EXPECT_EQ(codec.link_interrupted, 4);  // 1st, 3rd and 5th counted
    line.feed("q");
    link_receive();
    EXPECT_EQ(codec.link_interrupted, 1);  // any other byte examined starts the count again
    serial.clock = 50;
    line.feed("{}cd{}");
    link_receive();
    EXPECT_EQ(codec.link_interrupted, 0);
    EXPECT_EQ(codec.last_rx_time, 50);
    EXPECT_EQ(frames_received, std::vector<std::string>{"cd"});  // `ab` was abandoned by `{z`
}

TEST_F(Codec, SevenCtrlXAfterInterruptionEndLink) {
    EXPECT_EQ(link_outcome([&] { decode(0, "{}{z" + std::string(7, '\x18')); }),
              "0 ZARN data link interrupted.");
}

TEST_F(Codec, LineThatTakesNothingKeepsBytesPending) {
    // Fill the line first so that every write fails.
    std::string filler(4096, 'f');
    ssize_t wrote;
    while ((wrote = write(line.ours, filler.data(), filler.size())) > 0) {
    }
    codec_with_tap(0);
    frames_to_send = {std::string(600, 'x')};
    link_transmit();
    EXPECT_GT(codec.pending_count, 0);
    EXPECT_TRUE(serial.want_write);
    std::string wire;
    while (codec.pending_count > 0 || codec.tx_pos != nullptr) {
        wire += line.drain();
        link_transmit();
    }
    wire += line.drain();
    EXPECT_FALSE(serial.want_write);
    EXPECT_EQ(wire.substr(wire.size() - 602), std::string(600, 'x') + "{}");
}

TEST_F(Codec, FlushAtTerminationWritesTheRestOfTheChunk) {
    codec_with_tap(0);
    memcpy(codec.tx_chunk, "ab{1", 4);
    codec.pending = codec.tx_chunk + 2;
    codec.pending_count = 2;
    serial.want_write = true;
    codec_flush_pending();
    EXPECT_EQ(line.drain(), "{1");
    EXPECT_EQ(codec.pending_count, 0);
    EXPECT_FALSE(serial.want_write);
}

TEST(CharFlags, FramingLettersAreNeverFlagged) {
    codec = codec_state{};
    for (int b : {'Z', '\\', ']'}) {
        EXPECT_EQ(set_char_flags(static_cast<uint8_t>(b), CF_ESCAPE | CF_DROP), -1);
        EXPECT_EQ(link_setup.char_flags[b], 0);
    }
    EXPECT_EQ(set_char_flags(0x11, CF_DROP), 0);
    EXPECT_EQ(set_char_flags(0x11, CF_ESCAPE), 0);
    EXPECT_EQ(link_setup.char_flags[0x11], CF_ESCAPE | CF_DROP);
}

}  // namespace
