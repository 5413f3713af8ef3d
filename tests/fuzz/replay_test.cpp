// Nasty peer input, written out and drawn from a seeded stream, through the fuzz harness's
// entry points: every input must be handled without a fault.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using bytes = std::string;

const char* run(const char* (*entry)(const uint8_t*, size_t), const bytes& input) {
    return entry(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

// The session harness takes records: a channel selector, a length byte, the bytes.
int selector(int channel) {
    return channel <= 3 ? channel : channel - 4;
}  // 4 to 7 are never set up

bytes records(int channel, const bytes& payload) {
    bytes out;
    for (size_t at = 0; at < payload.size() || at == 0; at += 255) {
        bytes part = payload.substr(at, 255);
        out += static_cast<char>(selector(channel));
        out += static_cast<char>(part.size());
        out += part;
        if (payload.empty()) break;
    }
    return out;
}

bytes offer(int32_t size, const bytes& name) {
    bytes r("\x21\x22\x23\x24", 4);
    r.append(reinterpret_cast<const char*>(&size), 4);
    return r + name + '\0';
}

bytes session(uint8_t flags, int8_t lines, const bytes& body) {
    return bytes{static_cast<char>(flags), static_cast<char>(lines)} + body;
}

class FuzzReplay : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { fuzz_setup(); }
    static void TearDownTestSuite() { fuzz_teardown(); }
};

TEST_F(FuzzReplay, LineBytesInEveryModeAndReadSize) {
    const std::vector<bytes> nasty = {
        "{}" + bytes(3000, 'A'),                           // a frame that never ends
        "{}" + bytes(600, 'u') + "{}" + bytes(601, 'u'),   // base-85 groups past 2^32
        bytes(2, '{') + "}" + bytes(1500, '\x80') + "{}",  // 7-bit headers and stray high bits
        "{}{z" + bytes(12, '\x18'),                        // the peer interrupted, then gives up
        "{}{|",                                            // the peer's goodbye
        "{}\x80\x21\x22{}{}\x40\x41\xf0\x0f{}",            // verdicts for blocks in flight
        "{[{]{\\{Z{{{",                                    // escapes of the control bytes
    };
    for (int mode = 0; mode < 64; mode += 5)
        for (int read_size : {0, 1, 255})
            for (const bytes& line : nasty)
                ASSERT_EQ(
                    run(fuzz_line,
                        bytes{static_cast<char>(mode), 7, static_cast<char>(read_size)} + line),
                    nullptr)
                    << "mode " << mode << " read size " << read_size + 1;
}

TEST_F(FuzzReplay, FramesWithAGoodCrc) {
    auto frame = [](const bytes& contents) {
        return bytes{static_cast<char>(contents.size() >> 8),
                     static_cast<char>(contents.size() & 0xFF)} +
               contents;
    };
    const std::vector<bytes> nasty = {
        frame("\x04"
              "data for a channel never set up"),
        frame("\x80\xa0\xc0\xe0\x90\xb0\xd0\xf0"),     // verdicts, stale and current
        frame(bytes(64, '\x40') + bytes(64, '\x60')),  // enquiries in bulk
        frame("\x00" + bytes(1097, 'x')),              // more than channel 0 holds
        frame("\x10" + bytes(1097, 'y')) + frame("\x30" + bytes(1097, 'y')),
        frame("") + frame("\x80") + frame("\xc0\xc0\xc0"),
        frame("\x91\x91\xd1\xd1\x51\x71\x88\xa8\xc8"),
    };
    for (const bytes& input : nasty) EXPECT_EQ(run(fuzz_frame, input), nullptr);
}

TEST_F(FuzzReplay, HandshakeBlocksAndNoise) {
    bytes every(256, '\0');
    for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
    const std::vector<bytes> blocks = {
        bytes("\x03\x63\x03Z\\]\x11{Z\\]\x13{", 13),  // lists naming the control sequence bytes
        bytes("\x03\x63\x03\x11\x13", 5),             // lists never closed
        bytes("\x03\x63\x3f", 3),                     // every mode bit
        bytes("\x07\x63\x00", 3),                     // another version
        every.substr(0, 60),
    };
    for (int mode : {0, 3, 0x0C, 0x30, 0x3F})
        for (const bytes& block : blocks)
            for (const bytes& after :
                 {bytes("{}"), bytes("*{}"), bytes(2500, 'F') + "*", bytes("\x18\x18")}) {
                bytes input{static_cast<char>(mode), 3, static_cast<char>(block.size())};
                EXPECT_EQ(run(fuzz_handshake, input + block + after), nullptr);
            }
}

TEST_F(FuzzReplay, OverlongRecordsEndOnlyThroughTheirFatalErrors) {
    EXPECT_EQ(
        run(fuzz_session,
            session(0, 5, records(0, bytes(4, '\0') + "P" + bytes(300, 'p') + '\0' + "L\x03"))),
        nullptr);
    EXPECT_EQ(run(fuzz_session,
                  session(0, 5, records(2, offer(10, bytes(1500, 'o')) + offer(3, "next")))),
              nullptr);
    EXPECT_EQ(
        run(fuzz_session, session(0x10, 5, records(3, bytes(3000, 'r') + '\0' + "a.txt" + '\0'))),
        nullptr);
}

// Found by fuzz_session: two offers whose sizes add up past the 32-bit figures.
TEST_F(FuzzReplay, FoundHugeOffersOverflowedTheFigures) {
    const bytes found(
        "\x0a\x0a\x1e\x8a\xff\x71\xff\x00\x61\xff\x00\x71\xff\x71\xff\x00\x1e\x8a\xff"
        "\x71\xff\x61\x00\x71\xff\x00\xff\xab\xab\x02\x0b",
        31);
    EXPECT_EQ(run(fuzz_session, found), nullptr);
    EXPECT_EQ(
        run(fuzz_session, session(0, 5,
                                  records(2, offer(0x7fffffff, "h1") + offer(0x7fffffff, "h2")) +
                                      records(1, bytes("r\x00\x00\x00\x80", 5)))),
        nullptr);
}

TEST_F(FuzzReplay, OffersAndRequestsStayInsideTheirDirectories) {
    const std::vector<bytes> names = {
        "..",         ".",    "",        "/etc/passwd", "../outside/secret",
        "../cwd/new", "a\nb", "old.txt", "OLD.TXT",     "taken.txt",
        "sub/",       "x/.."};
    for (uint8_t flags : {0x00, 0x02, 0x04, 0x08, 0x0C, 0x20, 0x80}) {
        bytes body;
        for (const bytes& name : names) body += records(2, offer(60, name));
        body += records(16, bytes(200, 'd'));
        body += records(1, bytes("u\x72\xff\xff\xff\xff"
                                 "c\x72\x10\x00\x00\x00"
                                 "xeiqtabo",
                                 20));
        EXPECT_EQ(run(fuzz_session, session(flags, 5, body)), nullptr) << int(flags);
    }
    bytes requests;
    for (const char* name : {"../outside/secret", "../cwd/local.txt", "local.txt", "*", "?.txt",
                             "sub", "sub/deep.txt", "deep.txt", ".", "..", "", "x y", "B.TXT"})
        requests += records(3, bytes(name) + '\0');
    for (uint8_t flags : {0x10, 0x50})
        EXPECT_EQ(run(fuzz_session, session(flags, 0, requests)), nullptr);
}

TEST_F(FuzzReplay, ChatAndControlBytesOfEveryValue) {
    bytes every(256, '\0');
    for (int i = 0; i < 256; ++i) every[i] = static_cast<char>(i);
    for (int lines : {-1, 0, 1, 24, 127}) {
        bytes body = records(0, every + "M\0MZY") + records(8, bytes(2000, 'w')) +
                     records(9, every) + records(10, "\r\n\r") + records(15, every + every);
        EXPECT_EQ(run(fuzz_session, session(0, static_cast<int8_t>(lines), body)), nullptr)
            << lines;
    }
}

// The same entry points on a seeded stream of random inputs, some sprinkled with the
// bytes that mean most to the decoders.
TEST_F(FuzzReplay, SeededRandomInputs) {
    std::mt19937 gen(20240611);
    const char special[] = {'{', '}', '|', 'z', '[', '*', '\0', '\x18', '\x11', '\x13', '\r', '\n'};
    auto random_input = [&](size_t most) {
        bytes input(gen() % most, '\0');
        for (char& c : input)
            c = gen() % 4 == 0 ? special[gen() % sizeof special] : static_cast<char>(gen() & 0xFF);
        return input;
    };
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(run(fuzz_line, random_input(3000)), nullptr) << "input " << i;
        ASSERT_EQ(run(fuzz_frame, random_input(3000)), nullptr) << "input " << i;
        ASSERT_EQ(run(fuzz_handshake, random_input(3000)), nullptr) << "input " << i;
        if (i % 3 == 0) {
            ASSERT_EQ(run(fuzz_session, random_input(4000)), nullptr) << "input " << i;
        }
    }
}

}  // namespace
