// The session's records against literal bytes, both ways, and malformed ones refused.
#include "session/records.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

std::string bytes_of(const uint8_t* b, int n) {
    return std::string(reinterpret_cast<const char*>(b), n);
}
const uint8_t* raw(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(Records, OpeningBlockCarriesCapabilitiesOnlyUnderOurMagicAndCheck) {
    struct row {
        session_features announced;
        opening_options opening;
        std::string wire;
    } rows[] = {
        {{}, {.accepts = true, .beeper = true}, std::string("\0\0\0\0UqSLC\0L\0", 12)},
        {{.compress = true},
         {.serves = true, .columns = 80, .lines = 24},
         std::string("\x4B\xDA\x01\xCA"
                     "DSLCPL\x18",
                     11)},
        {{true, true}, {}, std::string("\x4B\xDA\x03\xC8SLC\0L\0", 10)},
        {{.no_room = true, .reoffer = true}, {}, std::string("\x4B\xDA\x0C\xC7SLC\0L\0", 10)},
        {{.compress = true, .extended = true, .trees = true, .history = true},
         {},
         std::string("\x4B\xDA\x33\xF8SLC\0L\0", 10)},
        {{.echo_check = true}, {}, std::string("\x4B\xDA\x80\x4BSLC\0L\0", 10)},
    };
    for (const row& r : rows) {
        uint8_t out[OPENING_MAX];
        EXPECT_EQ(bytes_of(out, build_opening(out, r.announced, r.opening)), r.wire);
        session_features got = parse_opening(raw(r.wire));
        EXPECT_EQ(got.compress, r.announced.compress);
        EXPECT_EQ(got.extended, r.announced.extended);
        EXPECT_EQ(got.no_room, r.announced.no_room);
        EXPECT_EQ(got.reoffer, r.announced.reoffer);
        EXPECT_EQ(got.trees, r.announced.trees);
        EXPECT_EQ(got.history, r.announced.history);
        EXPECT_EQ(got.echo_check, r.announced.echo_check);
        EXPECT_EQ(got.utf8_names, r.wire[0] != 0);  // any block of ours: names as they are
    }
    // A wrong check byte, another magic, a plain peer's zeros: nothing announced.
    for (const char* other : {"\x4B\xDA\x01\xCB", "\x4B\xDB\x01\xCB", "\x4A\xDA\x01\xCB"})
        EXPECT_FALSE(parse_opening(reinterpret_cast<const uint8_t*>(other)).compress) << other;
    session_features used = both_features({true, true}, {.extended = true});
    EXPECT_TRUE(!used.compress && used.extended);  // only what both announced
    EXPECT_FALSE(both_features({.compress = true}, {.echo_check = true}).echo_check);
    used = both_features({.compress = true, .extended = true, .trees = true, .history = true},
                         {.trees = true, .history = true});
    EXPECT_TRUE(!used.trees && !used.history);  // neither without its base
}

TEST(Records, OffersPlainAndExtendedBothWaysAndMalformedOnesRefused) {
    struct row {
        bool extended;
        offer_record offer;
        std::string wire;
        bool tree = false;  // a tree's offer: its flags byte before the path
    } rows[] = {
        // 13:45:58 on 9 March 1997, 1,000 bytes.
        {false,
         {0x6DBD, 0x2269, 1000, 857915158, 0, "a.zip"},
         std::string("\xBD\x6D\x69\x22\xE8\x03\0\0a.zip\0", 14)},
        {false, {0, 0, -1, -1, 0, ""}, std::string("\0\0\0\0\xFF\xFF\xFF\xFF\0", 9)},
        {true,
         {0, 0, 0x100000000, 0x0102, 0xA1B2C3D4E5F60718, "big"},
         std::string("\0\0\0\0\1\0\0\0\x02\x01\0\0\0\0\0\0\x18\x07\xF6\xE5\xD4\xC3\xB2\xA1"
                     "big\0",
                     28)},
        {true,
         {.length = 5,
          .mtime = 0x0102,
          .digest = 0x0807060504030201,
          .name = "src/x/a.c",
          .executable = true},
         "\5\0\0\0\0\0\0\0\x02\x01\0\0\0\0\0\0\1\2\3\4\5\6\7\x08\x01src/x/a.c\0"s,
         true},
    };
    for (const row& r : rows) {
        uint8_t out[600];
        EXPECT_EQ(bytes_of(out, build_offer(out, sizeof out, r.offer, r.extended, r.tree)), r.wire);
        offer_record got;
        ASSERT_TRUE(
            parse_offer(raw(r.wire), static_cast<int>(r.wire.size()), r.extended, &got, r.tree));
        EXPECT_EQ(got.executable, r.offer.executable);
        EXPECT_EQ(got.length, r.offer.length);
        EXPECT_EQ(std::string(got.name), r.offer.name);
        EXPECT_EQ(got.digest, r.offer.digest);
        if (r.extended) {
            EXPECT_EQ(got.mtime, r.offer.mtime);
        } else {
            EXPECT_EQ(got.time | got.date << 16, r.offer.time | r.offer.date << 16);
        }
    }
    uint8_t out[16];
    EXPECT_EQ(build_offer(out, sizeof out, {.name = "eight..."}, false), 0);  // 17 bytes: over room
    offer_record got;
    for (const std::string& bad : {std::string("\0\0\0\0\0\0\0", 7),            // short header
                                   std::string("\0\0\0\0\0\0\0\0ab", 10),       // no NUL
                                   std::string("\0\0\0\0\0\0\0\0a\0b\0", 12)})  // overlong
        EXPECT_FALSE(parse_offer(raw(bad), static_cast<int>(bad.size()), false, &got));
    EXPECT_FALSE(parse_offer(raw(rows[0].wire), 14, true, &got));  // short for the extended
}

TEST(Records, ResumeAnswersVerdictsTrailersAndRequests) {
    uint8_t out[EXTENDED_RESUME_BYTES];
    EXPECT_EQ(bytes_of(out, build_resume(out, {.offset = 1000}, false)), "\xE8\x03\0\0"s);
    EXPECT_EQ(parse_resume(raw("\xE8\x03\0\0"s), false).offset, 1000);
    EXPECT_EQ(parse_resume(raw("\xFF\xFF\xFF\xFF"s), false).offset, -1);  // signed 32 bits
    const std::string extended("\xE8\x03\0\0\0\0\0\0\x08\x07\x06\x05\x04\x03\x02\x01\x01", 17);
    EXPECT_EQ(bytes_of(out, build_resume(out, {1000, 0x0102030405060708, resume_or::whole}, true)),
              extended);
    resume_answer r = parse_resume(raw(extended), true);
    EXPECT_EQ(r.offset, 1000);
    EXPECT_EQ(r.digest, 0x0102030405060708u);
    EXPECT_EQ(r.otherwise, resume_or::whole);
    std::string unknown_rule = extended.substr(0, 16) + '\x07';
    EXPECT_EQ(parse_resume(raw(unknown_rule), true).otherwise, resume_or::nothing);

    for (auto [v, byte] : {std::pair{data_verdict::resume, 'R'},
                           {data_verdict::whole, 'W'},
                           {data_verdict::none, 'N'}}) {
        EXPECT_EQ(build_verdict(v), byte);
        data_verdict got = data_verdict::resume;
        EXPECT_TRUE(parse_verdict(static_cast<uint8_t>(byte), &got));
        EXPECT_EQ(got, v);
    }
    data_verdict got = data_verdict::none;
    EXPECT_FALSE(parse_verdict('r', &got));

    uint8_t trailer[DIGEST_TRAILER_SIZE];
    build_digest_trailer(trailer, 0x1122334455667788);
    EXPECT_EQ(bytes_of(trailer, 8), "\x88\x77\x66\x55\x44\x33\x22\x11"s);
    EXPECT_EQ(parse_digest_trailer(trailer), 0x1122334455667788u);

    uint8_t request[8];
    EXPECT_EQ(bytes_of(request, build_request(request, 8, "a b.txt")), "a b.txt\0"s);
    EXPECT_EQ(build_request(request, 8, "a b.txt!"), 0);  // its NUL would be the ninth byte
    EXPECT_STREQ(parse_request(raw("a b.txt\0"s), 8), "a b.txt");
    EXPECT_EQ(parse_request(raw("ab"s), 2), nullptr);      // no NUL
    EXPECT_EQ(parse_request(raw("a\0b\0"s), 4), nullptr);  // overlong
    EXPECT_EQ(parse_request(raw(""s), 0), nullptr);        // short
}

// The probe: lower-case hex only, so no byte of it is a control letter to an older peer.
TEST(Records, ProbeIsSixteenLowerCaseDigits) {
    uint8_t out[PROBE_SIZE];
    EXPECT_EQ(bytes_of(out, build_probe(out, 0x0123456789ABCDEF)), "N0123456789abcdef"s);
    uint64_t number = 0;
    EXPECT_TRUE(parse_probe(raw("fedcba9876543210"s), &number));
    EXPECT_EQ(number, 0xFEDCBA9876543210u);
    EXPECT_FALSE(parse_probe(raw("FEDCBA9876543210"s), &number));  // upper case: not ours
    EXPECT_FALSE(parse_probe(raw("0000000000000L00"s), &number));
}

}  // namespace
