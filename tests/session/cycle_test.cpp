// The control channel (opening block, control messages, profile negotiation, yell) and the
// automatic end of the session, on real channels with the clock driven by the time seam.
#include "session/cycle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/channels.h"
#include "link/delivery.h"
#include "link/relink.h"
#include "link/setup.h"
#include "session/chat.h"
#include "transfer_fixture.h"

namespace {

class Control : public Transfer {
   protected:
    // The peer's control bytes, taken by the receiver one cycle at a time.
    static void arrive(const std::string& text) {
        peer(CH_CONTROL, text);
        control_receiver();
    }
    static void arrive_bytewise(const std::string& text) {
        for (char c : text) arrive(std::string(1, c));
    }
    static std::string opening(const std::string& rest) {
        return std::string("\1\2\3\4", 4) + rest;
    }
};

TEST_F(Control, OpeningBlockByteByByteEqualsOpeningBlockWhole) {
    const std::string block = opening(std::string("DUqSLC\x64L\x1e", 10));
    arrive(block);
    const cycle_state whole = cycle;
    EXPECT_EQ(chat.peer_lines, 30);
    cycle = cycle_state{};
    chat = chat_state{};
    arrive_bytewise(block);
    EXPECT_EQ(chat.peer_lines, 30);
    for (const cycle_state* c : {&whole, static_cast<const cycle_state*>(&cycle)}) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(c->peer_block), 4), "\1\2\3\4");
        EXPECT_EQ(c->peer_columns, 100);
        EXPECT_EQ(c->yell_count, 0);  // "D", "U" and "q" change nothing
        EXPECT_EQ(c->control_state, 0);
    }
    EXPECT_EQ(link_setup.profile_letter, 'H');
    EXPECT_EQ(wire(CH_CONTROL), "");
    arrive(std::string("\5\6\7\10", 4));  // only the stream's first four bytes are the block
    EXPECT_EQ(cycle.peer_block[0], 1);
}

TEST_F(Control, OwnOpeningBlockFollowsTheOptions) {
    send_opening_block(0);  // no screen: both counts are 0
    EXPECT_EQ(wire(CH_CONTROL), std::string("\0\0\0\0UqSLC\0L\0", 12));
    session.serve_requests = 1;
    session.accept_uploads = 0;
    send_opening_block(1);  // the beeper off
    const std::string sent = wire(CH_CONTROL);
    EXPECT_EQ(sent, std::string("\0\0\0\0DSLC\0L\0", 11));
    arrive(sent);  // read by a peer, it sets the counts and nothing else
    EXPECT_EQ(cycle.peer_columns, 0);
    EXPECT_EQ(chat.peer_lines, 0);
    EXPECT_EQ(cycle.yell_count, 0);
    EXPECT_TRUE(peer_opened());
    EXPECT_FALSE(announcement.used.compress || announcement.used.extended);  // all zero
}

// An end that compresses says so in its opening block; the peer uses it only when it said
// so too, and takes any other block (a plain peer's zeros, another's bytes) as nothing.
TEST_F(Control, CapabilitiesAreAnnouncedInTheOpeningBlockAndUsedOnlyWhenBoth) {
    announcement = announcement_state{};  // the peer's block has not come yet
    announce({.compress = true});
    send_opening_block(0);
    const std::string sent = wire(CH_CONTROL);
    EXPECT_EQ(sent.substr(0, 4), std::string("\x4B\xDA\x01\xCA", 4));
    EXPECT_FALSE(peer_opened());
    arrive(sent.substr(0, 3));
    EXPECT_FALSE(peer_opened());  // offers wait for the whole block
    arrive(sent.substr(3));
    EXPECT_TRUE(announcement.used.compress);
    for (const std::string& other :
         {std::string("\x4B\xDA\x01\xCB", 4), std::string("\x4B\xDB\x01\xCB", 4)}) {
        announcement = announcement_state{};
        cycle = cycle_state{};
        announce({.compress = true});
        arrive(other);  // a check byte or a magic that is not ours
        EXPECT_TRUE(peer_opened());
        EXPECT_FALSE(announcement.used.compress);
    }
    announcement = announcement_state{};
    cycle = cycle_state{};
    arrive(sent);  // we did not announce it: not used
    EXPECT_FALSE(announcement.used.compress);
}

// A peer that announces the echo check is one only once its own probe came: our probe
// coming back (an exact echo) opens nothing and sends the link back to the handshake.
TEST_F(Control, OurOwnProbeBackIsAnEchoAndOpensNothing) {
    announcement = announcement_state{};
    announce({.compress = true, .echo_check = true});
    send_opening_block(0);
    const std::string block = wire(CH_CONTROL);
    arrive(block);  // our own opening block, echoed
    EXPECT_FALSE(peer_opened());
    const std::string probe = wire(CH_CONTROL);
    ASSERT_EQ(probe.size(), 17u);
    EXPECT_EQ(probe[0], 'N');
    arrive(probe);
    EXPECT_FALSE(peer_opened());
    EXPECT_EQ(relink_check(), RELINK_ECHO);
    // A peer with a number of its own is one.
    relink = relink_state{};
    cycle = cycle_state{};
    cycle.own_probe = 0x1234;
    arrive(block + "N00000000000abcde");
    EXPECT_TRUE(peer_opened());
    EXPECT_TRUE(announcement.used.compress && announcement.used.echo_check);
    EXPECT_NE(relink_check(), RELINK_ECHO);
}

TEST_F(Control, CountsAreSignedBytesAndYellRestartsItsCount) {
    arrive(opening("L\xc8"));
    EXPECT_EQ(chat.peer_lines, -56);  // chat stays off
    arrive(std::string("L\0C\xc8", 4));
    EXPECT_EQ(chat.peer_lines, 0);
    EXPECT_EQ(cycle.peer_columns, -56);
    arrive("Y");
    EXPECT_EQ(cycle.yell_count, yell_beeps);
    cycle.yell_count = 3;
    arrive("\x7f!S\x01Y");  // unknown bytes are ignored, "S" takes one byte
    EXPECT_EQ(cycle.yell_count, yell_beeps);
}

TEST_F(Control, TextOfThirtyNineCharactersIsTakenWhole) {
    const std::string text(39, 'x');
    arrive(opening("P" + text));
    arrive(std::string(1, '\0') + "L\x05");
    EXPECT_EQ(std::string(cycle.peer_text), text);
    EXPECT_EQ(chat.peer_lines, 5);
}

TEST_F(Control, TextOfFortyCharactersIsFatalInternalErrorFive) {
    process.exit_status = EXIT_UPLOADS_OUTSTANDING;
    arrive(opening("P" + std::string(40, 'x')));  // 40 bytes fill the buffer: not yet fatal
    EXPECT_EQ(end_code([] { arrive(std::string(1, '\0')); }), EXIT_UPLOADS_OUTSTANDING);
    EXPECT_EQ(process.internal_error, 5);
}

TEST_F(Control, ProfileNegotiation) {
    arrive(opening("MH"));  // our own letter: no answer
    EXPECT_EQ(wire(CH_CONTROL), "");
    EXPECT_EQ(cycle.profile_echo_pending, 0);

    arrive("MT");  // earlier than ours: adopted and answered
    EXPECT_EQ(wire(CH_CONTROL), "MT");
    EXPECT_EQ(link_setup.profile_letter, 'T');
    EXPECT_EQ(delivery.block_max, 256);
    EXPECT_EQ(delivery.window_size, 1);

    set_profile('S');
    arrive("MH");  // later than ours: adopted without an answer
    EXPECT_EQ(wire(CH_CONTROL), "");
    EXPECT_EQ(link_setup.profile_letter, 'H');
    EXPECT_EQ(delivery.window_size, 16384);

    arrive("MX");  // not a profile: counts as earliest, answered, sizes kept
    EXPECT_EQ(wire(CH_CONTROL), "MX");
    EXPECT_EQ(link_setup.profile_letter, 'X');
    EXPECT_EQ(delivery.block_max, 1024);
    EXPECT_EQ(delivery.window_size, 16384);
}

TEST_F(Control, ProfileFromTheCommandLineIsAnnouncedInTheFirstCycle) {
    set_profile('C');
    cycle.profile_echo_pending = 1;
    control_receiver();
    EXPECT_EQ(wire(CH_CONTROL), "MC");
    arrive(opening("MS"));  // a peer with an earlier letter of its own brings us to it
    EXPECT_EQ(wire(CH_CONTROL), "MS");
    EXPECT_EQ(link_setup.profile_letter, 'S');
}

TEST_F(Control, ProfileAnswerWaitsForRoomInTheControlChannel) {
    const std::string filler(255, 'f');
    ASSERT_EQ(send_write(CH_CONTROL, reinterpret_cast<const uint8_t*>(filler.data()), 255), 255);
    arrive(opening("MT"));
    EXPECT_EQ(cycle.profile_echo_pending, 1);
    EXPECT_EQ(send_queued(CH_CONTROL), 255);
    send_reset(CH_CONTROL);  // as if the peer had acknowledged it
    control_receiver();
    EXPECT_EQ(wire(CH_CONTROL), "MT");
    EXPECT_EQ(cycle.profile_echo_pending, 0);
}

// ---- The automatic end of the session ----

constexpr time_t linked = 1000;  // clock second at which the link came up

class SessionEnd : public Transfer {
   protected:
    void SetUp() override {
        Transfer::SetUp();
        activity.last_activity_time = linked;
    }
    static void at(time_t second) { fake_clock_at(second); }
    static void idle_exit(int seconds) {
        session.auto_exit_flags = 1;
        session.idle_exit_seconds = seconds;
    }
    // Returning from the check is the proof: an end of the session exits the process.
    static void survive_at(time_t second) {
        at(second);
        check_session_end();
    }
    static void ends_at(time_t second, int status) {
        at(second);
        EXPECT_EQ(end_code(check_session_end), status) << second;
    }
};

TEST_F(SessionEnd, IdleExitWaitsForTheHundredTwentySecondRuleUntilAFileWasAccepted) {
    survive_at(linked + 100000);  // without -E or -e the session never ends by itself
    idle_exit(60);
    process.exit_status = EXIT_UPLOADS_OUTSTANDING;
    survive_at(linked + 119);
    ends_at(linked + 120, EXIT_UPLOADS_OUTSTANDING);
    idle_exit(300);
    survive_at(linked + 299);
    ends_at(linked + 300, EXIT_UPLOADS_OUTSTANDING);
    idle_exit(60);
    activity.activity_seen = 1;
    survive_at(linked + 59);
    ends_at(linked + 60, EXIT_UPLOADS_OUTSTANDING);
}

TEST_F(SessionEnd, FilesLeftInEitherDirectionHoldTheSessionAndRestartTheIdleTime) {
    idle_exit(60);
    activity.activity_seen = 1;
    receiving.stream.figures.files_left = 1;
    survive_at(linked + 5000);
    EXPECT_EQ(activity.last_activity_time, linked + 5000);
    receiving.stream.figures.files_left = 0;
    sending.stream.figures.files_left = 2;
    survive_at(linked + 9000);
    EXPECT_EQ(activity.last_activity_time, linked + 9000);
    sending.stream.figures.files_left = 0;
    // Both ends check whole files: an offer may wait for the peer's hash, so it holds too.
    both_extended();
    queue_append(&sending.offered_queue, new_entry("offered"));
    survive_at(linked + 12000);
    queue_free_all(&sending.offered_queue);
    survive_at(linked + 12059);
    ends_at(linked + 12060, 0);
}

// -E 0 after an abort: told that files come again ("g", both ends announce it), the receiver
// waits for their offer a minute at most; from a peer that does not announce it, nothing waits.
TEST_F(SessionEnd, ReofferAnnouncedHoldsTheSessionAMinuteAtMost) {
    idle_exit(0);
    activity.activity_seen = 1;
    auto abort_with_reoffer = [](time_t second) {
        at(second);
        peer(CH_STATUS, "gb");
        status_receiver();
        status_sender();
        EXPECT_EQ(wire(CH_STATUS), "o");
    };
    both_announce({.reoffer = true});
    abort_with_reoffer(linked + 10);
    survive_at(linked + 69);
    ends_at(linked + 70, 0);
    peer_announced({});
    abort_with_reoffer(linked + 100);
    ends_at(linked + 100, 0);
}

TEST_F(SessionEnd, HeldStatusLetterHoldsTheSessionUntilAcknowledged) {
    idle_exit(60);
    ASSERT_EQ(send_write(CH_STATUS, reinterpret_cast<const uint8_t*>("c"), 1), 1);
    survive_at(linked + 10000);
    send_reset(CH_STATUS);  // the peer acknowledged it
    ends_at(linked + 10000, 0);
}

TEST_F(SessionEnd, ChatIdleTimeCountsFromTheLastLocalChatLine) {
    session.auto_exit_flags = 2;
    session.chat_idle_seconds = 600;
    chat.last_chat_time = 0 - 600;  // as the command line sets it: holds before any chat
    survive_at(linked + 119);
    ends_at(linked + 120, 0);
    session.chat_idle_seconds = 30;
    chat.last_chat_time = linked + 200;
    survive_at(linked + 229);
    ends_at(linked + 230, 0);
}

}  // namespace
