// Random frames through every line mode, read back in random pieces, and noise on the wire.
#include <random>

#include "link/setup.h"
#include "link_test_util.h"
#include "serial/port.h"

namespace {

constexpr int largest_frame = 1084;  // what the delivery layer builds at most, trailer included

std::string random_frame(std::mt19937& rng) {
    int len = std::uniform_int_distribution<int>(0, largest_frame - 2)(rng);
    std::string data;
    for (int i = 0; i < len; ++i) data += static_cast<char>(rng());
    return with_trailer(data);
}

uint16_t crc_of(const std::string& s) {
    auto* p = reinterpret_cast<const uint8_t*>(s.data());
    return crc16(p, p + s.size());
}

// Base-85 digits are never escaped, so a peer dropping them could not be served: leave them be.
void set_random_flags(std::mt19937& rng, bool base85) {
    for (int b = 0; b < 256; ++b) {
        if (base85 && b >= '!' && b <= 'u') continue;
        if (rng() % 8 == 0) set_char_flags(static_cast<uint8_t>(b), CF_ESCAPE | CF_DROP);
    }
    set_char_flags('{', CF_ESCAPE);
}

// Encodes the frames through a line with a small buffer, taking random amounts off it.
std::string encode_all(const fake_line& line, int mode, const std::vector<std::string>& frames,
                       std::mt19937& rng, const uint8_t* flags) {
    codec_with_tap(mode);
    memcpy(link_setup.char_flags, flags, 256);
    for (auto& f : frames) frames_to_send.push_back(f);
    std::string wire;
    do {
        link_transmit();
        wire += line.take(std::uniform_int_distribution<int>(1, 3000)(rng));
    } while (codec.tx_pos != nullptr || codec.pending_count > 0);
    return wire + line.drain();
}

std::vector<std::string> decode_all(const fake_line& line, int mode, const std::string& wire,
                                    std::mt19937& rng, const uint8_t* flags) {
    codec_with_tap(mode);
    memcpy(link_setup.char_flags, flags, 256);
    for (size_t at = 0; at < wire.size();) {
        size_t n = std::uniform_int_distribution<size_t>(1, 300)(rng);
        line.feed(wire.substr(at, n));
        at += n;
        link_receive();
    }
    return frames_received;
}

struct mode_pair {
    int out;
    int in;
};

const mode_pair all_modes[] = {
    {0, 0},
    {MODE_ESC_OUT, MODE_ESC_IN},
    {MODE_7BIT_OUT, MODE_7BIT_IN},
    {MODE_7BIT_OUT | MODE_ESC_OUT, MODE_7BIT_IN | MODE_ESC_IN},
    {MODE_B85_OUT, MODE_B85_IN},
    {MODE_B85_OUT | MODE_ESC_OUT, MODE_B85_IN | MODE_ESC_IN},
};

TEST(CodecProperty, EveryModeRoundTripsRandomFramesInRandomReads) {
    for (const mode_pair& m : all_modes) {
        std::mt19937 rng(1000 + m.out);
        fake_line line(4096);
        codec = codec_state{};
        link_setup = link_setup_state{};
        if (m.out & MODE_ESC_OUT) set_random_flags(rng, m.out & MODE_B85_OUT);
        uint8_t flags[256];
        memcpy(flags, link_setup.char_flags, sizeof flags);
        std::vector<std::string> frames;
        for (int i = 0; i < 150; ++i) frames.push_back(random_frame(rng));
        frames.push_back(with_trailer(std::string(largest_frame - 2, '{')));
        frames.push_back(with_trailer(std::string(largest_frame - 2, '\xff')));
        std::string wire = encode_all(line, m.out, frames, rng, flags);
        if (m.out & MODE_ESC_OUT) {
            for (size_t i = 0; i < wire.size(); ++i) {
                if (wire[i] == '{') {
                    ++i;  // the partner of an escape is never dropped
                    continue;
                }
                ASSERT_FALSE(flags[static_cast<uint8_t>(wire[i])] & CF_DROP)
                    << "raw flagged byte at " << i;
            }
        }
        if (m.out & (MODE_7BIT_OUT | MODE_B85_OUT)) {
            for (unsigned char c : wire) ASSERT_LT(c, 0x80);
        }
        std::vector<std::string> got = decode_all(line, m.in, "{}" + wire, rng, flags);
        ASSERT_EQ(got.size(), frames.size()) << "mode " << m.out;
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(got[i], frames[i]) << "mode " << m.out << " frame " << i;
            ASSERT_EQ(crc_of(got[i]), LINK_CRC_RESIDUE);
        }
    }
}

TEST(CodecProperty, OneCorruptedByteAlwaysFailsTheCheck) {
    std::mt19937 rng(11);
    for (int i = 0; i < 2000; ++i) {
        std::string frame = random_frame(rng);
        size_t at = rng() % frame.size();
        frame[at] = static_cast<char>(frame[at] ^ std::uniform_int_distribution<int>(1, 255)(rng));
        ASSERT_NE(crc_of(frame), LINK_CRC_RESIDUE);
    }
}

TEST(CodecProperty, NoiseOnTheWireNeverYieldsAFalseFrame) {
    for (const mode_pair& m : all_modes) {
        for (unsigned seed = 1; seed <= 5; ++seed) {
            std::mt19937 rng(seed * 77 + m.out);
            fake_line line(4096);
            codec = codec_state{};
            link_setup = link_setup_state{};
            link_setup = link_setup_state{};
            if (m.out & MODE_ESC_OUT) set_random_flags(rng, m.out & MODE_B85_OUT);
            uint8_t flags[256];
            memcpy(flags, link_setup.char_flags, sizeof flags);
            std::vector<std::string> frames;
            for (int i = 0; i < 40; ++i) frames.push_back(random_frame(rng));
            std::string wire = encode_all(line, m.out, frames, rng, flags);
            std::string noisy;
            for (char c : wire) {
                int roll = static_cast<int>(rng() % 20000);
                if (roll == 0) continue;                                            // byte lost
                if (roll == 1) noisy += static_cast<char>(rng());                   // byte inserted
                noisy += roll == 2 ? static_cast<char>(c ^ (1 + rng() % 255)) : c;  // byte changed
            }
            std::vector<std::string> got = decode_all(line, m.in, "{}" + noisy, rng, flags);
            size_t good = 0;
            for (const std::string& f : got) {
                if (crc_of(f) != LINK_CRC_RESIDUE) continue;
                ++good;
                ASSERT_NE(std::find(frames.begin(), frames.end(), f), frames.end())
                    << "a frame that was never sent passed the check, seed " << seed;
            }
            EXPECT_GE(good, frames.size() / 2) << "noise this light spoils few frames";
        }
    }
}

}  // namespace
