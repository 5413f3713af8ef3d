// Reliable delivery, driven frame by frame: what build_frame sends, what handle_frame takes.
#include "link/delivery.h"

#include "link/channels.h"
#include "link/line_model.h"
#include "link/rate_meter.h"
#include "link/retransmit.h"
#include "link/setup.h"
#include "link/supervise.h"
#include "link_test_util.h"
#include "serial/port.h"
#include "support/frames.h"

namespace {

// Hands one frame from the peer to handle_frame, trailer added (or spoiled).
void peer_sends(const std::string& items, bool good_trailer = true) {
    std::string frame = with_trailer(items);
    if (!good_trailer) frame.back() = static_cast<char>(frame.back() ^ 1);
    memcpy(codec.rx_frame, frame.data(), frame.size());
    handle_frame(codec.rx_frame + frame.size());
}

// The next frame we build, without its trailer (checked here); "none" when nothing is sent.
std::string we_send() {
    uint8_t* end = build_frame();
    if (end == nullptr) return "none";
    std::string frame(reinterpret_cast<char*>(codec.tx_frame), end - codec.tx_frame);
    auto* p = reinterpret_cast<const uint8_t*>(frame.data());
    EXPECT_EQ(crc16(p, p + frame.size()), LINK_CRC_RESIDUE);
    return frame.substr(0, frame.size() - 2);
}

// Both clocks of the time seam, the whole second following the milliseconds.
void set_clock_ms(int64_t ms) {
    serial.clock_ms = ms;
    serial.clock = static_cast<time_t>(ms / 1000);
}

void write_to(int channel, const std::string& data) {
    ASSERT_EQ(send_write(channel, reinterpret_cast<const uint8_t*>(data.data()),
                         static_cast<int>(data.size())),
              static_cast<int>(data.size()));
}

std::string read_from(int channel) {
    uint8_t buffer[4096];
    int n = recv_read(channel, buffer, sizeof buffer);
    return std::string(reinterpret_cast<char*>(buffer), n);
}

class Delivery : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_up_to_link();
        alloc_test_channels();
        set_clock_ms(1000000);
        codec.last_tx_time = 1000;
    }
    void TearDown() override {
        if (settles) {
            EXPECT_EQ(link_leftovers(), "");
        }
        reset_up_to_link();
    }
    bool settles = false;  // the case ends with every block delivered and acknowledged
};

TEST_F(Delivery, LostBlockIsEnquiredRefusedAndSentAgainUnderTheOtherBit) {
    settles = true;
    write_to(16, "first");
    write_to(17, "second");
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_DATA, "first"));  // lost on the way
    EXPECT_EQ(we_send(), make_rx_frame(17, 0, KIND_DATA, "second"));
    EXPECT_EQ(schedule.in_flight_total, 11);
    peer_sends(make_rx_frame(17, 0, KIND_ACK));
    EXPECT_EQ(channels.send_channels[16]->queue, &schedule.enquiry_queue);
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_ENQ));
    peer_sends(make_rx_frame(16, 0, KIND_NAK));
    EXPECT_EQ(channels.send_channels[16]->queue, &schedule.resend_low);
    EXPECT_EQ(we_send(), make_rx_frame(16, 1, KIND_DATA, "first"));
    peer_sends(make_rx_frame(16, 1, KIND_ACK));
    EXPECT_EQ(send_queued(16), 0);
    EXPECT_EQ(send_queued(17), 0);
    EXPECT_EQ(schedule.in_flight_total, 0);
    EXPECT_EQ(delivery.tx_packets, 2);
    EXPECT_EQ(delivery.tx_bytes, 11);
    EXPECT_EQ(delivery.tx_errors, 1);
}

TEST_F(Delivery, LostBlockSeenFromTheReceiver) {
    settles = true;
    peer_sends(make_rx_frame(17, 0, KIND_DATA, "second"));
    EXPECT_EQ(we_send(), make_rx_frame(17, 0, KIND_ACK));
    peer_sends(make_rx_frame(16, 0, KIND_ENQ));  // our channel 16 still holds its initial bit 0x20
    // The ACK once more, in case its frame was lost.
    EXPECT_EQ(we_send(), make_rx_frame(17, 0, KIND_ACK) + make_rx_frame(16, 0, KIND_NAK));
    EXPECT_EQ(delivery.rx_errors, 1);
    peer_sends(make_rx_frame(16, 1, KIND_DATA, "first"));
    EXPECT_EQ(we_send(), make_rx_frame(16, 1, KIND_ACK));
    EXPECT_EQ(read_from(16), "first");
    EXPECT_EQ(read_from(17), "second");
    EXPECT_EQ(delivery.rx_packets, 2);
    EXPECT_EQ(delivery.rx_bytes, 11);
}

TEST_F(Delivery, LostAcknowledgementIsRepeatedWithoutResendingData) {
    settles = true;
    write_to(16, "data");
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_DATA, "data"));
    set_clock_ms(1004000);
    EXPECT_EQ(we_send(), "none");  // not yet more than 4 seconds
    set_clock_ms(1005000);
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_ENQ));
    peer_sends(make_rx_frame(16, 0, KIND_ACK));
    EXPECT_EQ(send_queued(16), 0);
    codec.last_tx_time = serial.clock;  // the enquiry went out just now
    EXPECT_EQ(we_send(), "none");
}

TEST_F(Delivery, ReceiverRepeatsItsVerdictOnEnquiry) {
    settles = true;
    peer_sends(make_rx_frame(16, 0, KIND_DATA, "data"));
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_ACK));  // lost on the way back
    peer_sends(make_rx_frame(16, 0, KIND_ENQ));
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_ACK));
    EXPECT_EQ(read_from(16), "data");  // stored once
    EXPECT_EQ(delivery.rx_errors, 0);
}

TEST_F(Delivery, WindowOfOneUnderProfileT) {
    EXPECT_EQ(set_profile('T'), 0);
    write_to(0, "ctl");
    write_to(16, "bulk");
    EXPECT_EQ(we_send(), make_rx_frame(0, 0, KIND_DATA, "ctl"));
    EXPECT_EQ(we_send(), "none");
    peer_sends(make_rx_frame(0, 0, KIND_ACK));
    EXPECT_EQ(we_send(), make_rx_frame(16, 0, KIND_DATA, "bulk"));
}

TEST_F(Delivery, AcknowledgementsAndEnquiriesRideWithData) {
    peer_sends(make_rx_frame(2, 0, KIND_DATA, "offer"));
    write_to(0, "x");
    peer_sends(make_rx_frame(3, 0, KIND_DATA, "request"));
    EXPECT_EQ(we_send(), make_rx_frame(2, 0, KIND_ACK) + make_rx_frame(3, 0, KIND_ACK) +
                             make_rx_frame(0, 0, KIND_DATA, "x"));
}

TEST_F(Delivery, RefusedBlockWaitsBehindEverythingElse) {
    write_to(1, "status");
    EXPECT_EQ(we_send(),
              "\x01"
              "status");
    peer_sends("\xC1");  // no enquiry was made: the peer had no room
    EXPECT_EQ(channels.send_channels[1]->queue, &schedule.ready_low);
    EXPECT_EQ(delivery.tx_errors, 1);
    EXPECT_EQ(delivery.block_size, 960);
    EXPECT_EQ(we_send(),
              "\x21"
              "status");  // same bytes, other bit
}

TEST_F(Delivery, LostClassOneBlockIsResentFirst) {
    write_to(1, "status");
    EXPECT_EQ(we_send(),
              "\x01"
              "status");
    set_clock_ms(1005000);
    EXPECT_EQ(we_send(), "\x41");
    write_to(0, "ctl");
    peer_sends("\xC1");
    EXPECT_EQ(channels.send_channels[1]->queue, &schedule.resend_high);
    EXPECT_EQ(we_send(),
              "\x21"
              "status");
}

TEST_F(Delivery, BlockWithoutRoomIsRefused) {
    peer_sends(std::string(1, '\0') + std::string(257, 'x'));
    EXPECT_EQ(we_send(), "\xC0");
    EXPECT_EQ(recv_queued(0), 0);
    EXPECT_EQ(delivery.rx_errors, 1);
}

TEST_F(Delivery, StaleVerdictsAreIgnoredButRestartTheTimer) {
    write_to(16, "data");
    we_send();
    set_clock_ms(1003000);
    peer_sends("\xB0");  // other bit
    peer_sends("\x91");  // nothing in flight on 17
    EXPECT_EQ(send_queued(16), 4);
    EXPECT_EQ(channels.send_channels[16]->queue, &schedule.wait_queue);
    set_clock_ms(1007000);  // four seconds from the stale verdicts, not from the block
    EXPECT_FALSE(timer_overdue(16));
    set_clock_ms(1007001);
    EXPECT_TRUE(timer_overdue(16));
}

TEST_F(Delivery, BadTrailerChangesNothingButTheReceiveTime) {
    write_to(16, "data");
    we_send();
    set_clock_ms(1002000);
    peer_sends("\x90", false);
    peer_sends(
        "\x11"
        "zz",
        false);
    EXPECT_EQ(codec.last_rx_time, 1002);
    EXPECT_EQ(send_queued(16), 4);
    EXPECT_EQ(recv_queued(17), 0);
    EXPECT_EQ(we_send(), "none");
}

TEST_F(Delivery, MessageBlockThatEmptiesItsChannelEndsWithZero) {
    delivery.block_size = 16;
    write_to(8, std::string(20, 'c'));
    EXPECT_EQ(we_send(), "\x08" + std::string(16, 'c'));
    peer_sends("\x88");
    EXPECT_EQ(we_send(), std::string("\x28"
                                     "cccc\0",
                                     6));
}

TEST_F(Delivery, LateVerdictForABlockPresumedLostIsTaken) {
    settles = true;
    write_to(16, "a");
    write_to(17, "b");
    we_send();
    we_send();
    peer_sends("\x91");  // 16 presumed lost, its enquiry not yet sent
    peer_sends("\x90");  // its verdict, repeated for an earlier enquiry, arrives first
    EXPECT_EQ(send_queued(16), 0);
    EXPECT_EQ(schedule.enquiry_queue.first, nullptr);
    EXPECT_EQ(we_send(), "none");
}

TEST_F(Delivery, SeventeenthEnquiryFailsTheLink) {
    write_to(16, "data");
    we_send();
    for (int i = 1; i <= 16; ++i) {
        set_clock_ms(serial.clock_ms + 6001);  // unanswered, the interval grows to 6 s
        ASSERT_EQ(we_send(), "\x50");
    }
    set_clock_ms(serial.clock_ms + 6001);
    EXPECT_EQ(link_outcome(we_send), "0 ZARN data link failure.");
}

TEST_F(Delivery, UnallocatedChannelsEndTheLink) {
    for (const char* items : {"\x04"
                              "x",
                              "\x45", "\x86", "\xC7"})
        EXPECT_EQ(link_outcome([&] { peer_sends(items); }), "0 ZARN data link error.");
}

TEST_F(Delivery, KeepAliveAfterFourSecondsOfSilence) {
    fake_line line;
    link_transmit();
    EXPECT_EQ(line.drain(), "");
    set_clock_ms(1005000);
    link_transmit();
    EXPECT_EQ(line.drain(), bytes({'{', '}', 0, 0, '{', '}'}));
    codec.link_mode = MODE_B85_OUT;
    set_clock_ms(1010000);
    link_transmit();
    EXPECT_EQ(line.drain(), "{}!!!{}");
}

TEST_F(Delivery, NothingIsBuiltWhileThePeerIsInterrupted) {
    peer_sends(
        "\x10"
        "data");
    codec.link_interrupted = 1;
    EXPECT_EQ(we_send(), "none");
}

TEST_F(Delivery, LastFramesVerdictsComeOnceMoreInTheNextFrameBeforeEveryNewerOne) {
    peer_sends(
        "\x10"
        "a");
    peer_sends(
        "\x11"
        "b");
    EXPECT_EQ(we_send(), "\x90\x91");  // say this frame is lost on the way
    peer_sends(
        "\x12"
        "c");
    EXPECT_EQ(we_send(), "\x90\x91\x92");
    peer_sends("\x50");  // asked again about 16: its answer is owed, so 16 is not repeated
    EXPECT_EQ(we_send(), "\x92\x90");
    EXPECT_EQ(we_send(), "none");  // alone, a repeat waits a little for a frame to ride in
    set_clock_ms(serial.clock_ms + 20);
    EXPECT_EQ(we_send(), "\x90");  // once, and in the very next frame only
    EXPECT_EQ(we_send(), "none");
    peer_sends(
        "\x13"
        "d");
    EXPECT_EQ(we_send(), "\x93");
    set_clock_ms(serial.clock_ms + 2001);  // the peer has had it or asked again by now
    codec.last_tx_time = serial.clock;
    EXPECT_EQ(we_send(), "none");
}

// The retransmission timer on its own, driven through the millisecond clock.
class RetransmitTimer : public Delivery {
   protected:
    // A frame of `bytes` (with its trailer) carrying a block of `channel`, built now.
    void sent(int channel, int bytes) {
        timer_mark(channel);
        timer_frame_built(bytes);
    }
    bool overdue_at(int channel, int64_t ms) {
        set_clock_ms(ms);
        return timer_overdue(channel);
    }
    // When the model has our line free, as what is sent shows: from `ms` on, no new frame is
    // built until a short frame's lead before that moment.
    int64_t line_free_at(int64_t ms) {
        for (set_clock_ms(ms); model_hold(); set_clock_ms(serial.clock_ms + 1)) {
        }
        return serial.clock_ms + (line_model.last_data_frame < short_frame_bytes
                                      ? pace_ahead_short_ms
                                      : pace_ahead_ms);
    }
};

TEST_F(RetransmitTimer, FourSecondsUntilMeasuredThenFromTheLineModelAndTheSmoothedRoundTrip) {
    sent(16, 998);  // at 1000.000 s; 1,000 bytes on the line with the frame's end
    EXPECT_FALSE(overdue_at(16, 1004000));
    EXPECT_TRUE(overdue_at(16, 1004001));
    timer_any_verdict();  // at 1004.001 s: any verdict restarts this first wait

    // The peer's data frames, 10,000 bytes in a second: the line carries 10,000 bytes a second.
    for (int64_t ms = 1005001; ms <= 1006001; ms += 100) {
        set_clock_ms(ms);
        timer_heard(998);
    }
    EXPECT_EQ(link_line_rate(), 10000);
    EXPECT_FALSE(overdue_at(16, 1008001));  // no round trip measured yet
    set_clock_ms(1009001);  // the peer has gone quiet: its backlog is no longer waited for
    sent(16, 998);          // leaves the idle line 100 ms later
    set_clock_ms(1009301);
    timer_verdict(16, true);  // 200 ms after it left
    sent(16, 998);
    set_clock_ms(1009701);
    timer_verdict(16, true);  // 300 ms
    // Smoothed (7 x 200 + 300) / 8 = 212, varying by (3 x 100 + 100) / 4 = 100: 212 + 4 x 100.
    EXPECT_EQ(timer_timeout_ms(), 612);

    // Two blocks at once: the second leaves after the first, and is waited for that much longer.
    sent(16, 998);
    sent(17, 998);
    EXPECT_FALSE(overdue_at(16, 1009701 + 100 + 612));
    EXPECT_TRUE(overdue_at(16, 1009701 + 100 + 613));
    EXPECT_FALSE(overdue_at(17, 1009701 + 200 + 612));
    EXPECT_TRUE(overdue_at(17, 1009701 + 200 + 613));

    // An enquiry answered: no sample from it, and the back-off ends: 17 waits 612 ms again.
    timer_enquired(17);
    timer_verdict(17, false);
    EXPECT_EQ(timer_timeout_ms(), 612);
    EXPECT_TRUE(overdue_at(17, 1009701 + 200 + 613));

    // A timeout, and no round trip measured since: a new block's first wait doubles.
    timer_timed_out();
    set_clock_ms(1020000);
    sent(18, 998);
    EXPECT_FALSE(overdue_at(18, 1020100 + 2 * 612));
    EXPECT_TRUE(overdue_at(18, 1020100 + 2 * 612 + 1));
    timer_verdict(18, true);  // a round trip measured: a first wait is single again
    const int64_t timeout = timer_timeout_ms();
    sent(19, 998);
    EXPECT_FALSE(overdue_at(19, serial.clock_ms + 100 + timeout));
    EXPECT_TRUE(overdue_at(19, serial.clock_ms + 1));
}

// A verdict proves its block left before the frame that brought it began to arrive: a model
// that lags the line (its rate a little low) is pulled forward that far, not only to the
// quickest round trip, or both ends settle below the line, each measuring the other.
TEST_F(RetransmitTimer, AVerdictPullsALaggingModelToBeforeItsFrameArrived) {
    line_model.rate = 10000;
    retransmit.rtt_measured = true;
    retransmit.min_rtt_ms = 10;
    set_clock_ms(1000000);
    sent(16, 998);  // 1,000 bytes with the frame's end: 100 ms of line each
    sent(17, 998);
    EXPECT_EQ(line_free_at(1000000), 1000200);
    set_clock_ms(1000150);
    timer_heard(998);  // 17's verdict, in a frame of 100 ms
    timer_verdict(17, true);
    EXPECT_EQ(line_free_at(1000000), 1000040);  // 10 ms of round trip before that frame
}

// Short frames take a fraction of a millisecond more than their whole milliseconds: the model
// keeps it, or a noisy line's frames of 88 bytes ran it 8% ahead of the line.
TEST_F(RetransmitTimer, TheLineModelKeepsFractionsOfAMillisecond) {
    line_model.rate = 11520;
    set_clock_ms(1000000);
    for (int i = 0; i < 100; ++i) sent(16, 86);  // 88 bytes each: 7.64 ms
    EXPECT_EQ(line_free_at(1000000), 1000000 + 8800 * 1000 / 11520);
}

// The line's pace from a stream's positions: pauses of the stream are no measure of it (a
// first sample that held one made a line of 11,520 bytes a second look like 770, and both
// ends held their frames for seconds); later windows go on in the same stretch.
TEST(RateMeter, PausesAreNoMeasureOfTheLineAndLaterWindowsGoOn) {
    stretch_meter m;
    int64_t pos = 1000;
    int64_t rate = meter_add(m, pos, 0);
    int64_t ms = 1300;  // the stream paused 1.3 s after its first frame
    for (; ms <= 2300; ms += 100) rate = meter_add(m, pos += 1000, ms);
    EXPECT_EQ(rate, 10000);
    for (; ms <= 12300; ms += 100) rate = meter_add(m, pos += 1000, ms);  // later windows
    EXPECT_EQ(rate, 10000);
    meter_add(m, pos += 1000, ms += 1000);  // a pause within the stream starts it afresh
    for (int i = 0; i < 60; ++i) rate = meter_add(m, pos += 1000, ms += 100);
    EXPECT_EQ(rate, 10000);
    // A pace well above the rate (the first sample came from a stream held back) is taken
    // after a second, not after the four of a later window.
    for (int i = 0; i < 11; ++i) rate = meter_add(m, pos += 1500, ms += 100);
    EXPECT_GT(rate, 10000 + 10000 / 8);  // the window's mix, with the slower steps before
    for (int i = 0; i < 10; ++i) rate = meter_add(m, pos += 1500, ms += 100);
    EXPECT_EQ(rate, 15000);
}

// Until the rate is known only a few blocks go out, so their verdicts are waited for a
// second, not the four a burst of the whole window needed; four again while the peer sends
// data (an older peer's burst may be long), and as measured once data frames fail.
TEST_F(RetransmitTimer, FirstBlocksWaitASecondFourBehindThePeersDataAsMeasuredOnANoisyLine) {
    for (int peer_frames : {0, 3}) {
        for (int noise_bytes : {0, 1000}) {
            retransmit = retransmit_state{};
            line_model = line_model_state{};
            rate_meter = rate_meter_state{};
            set_clock_ms(1000000);
            sent(1, 10);
            set_clock_ms(1000010);
            timer_verdict(1, true);  // 10 ms, on the idle line
            sent(16, 1025);
            sent(17, 1025);
            if (noise_bytes > 0) timer_bad_frame(noise_bytes);
            int64_t wait = noise_bytes > 0 ? 100 : peer_frames > 0 ? 4000 : 1000;
            set_clock_ms(1000010 + wait - 500);  // the peer's data frames, still coming
            for (int i = 0; i < peer_frames; ++i) timer_heard(1000);
            EXPECT_FALSE(overdue_at(17, 1000010 + wait)) << peer_frames << " " << noise_bytes;
            EXPECT_TRUE(overdue_at(17, 1000010 + wait + 1)) << peer_frames << " " << noise_bytes;
        }
    }
}

// A verdict on the first block of the start's burst bounds the line's pace: the block after it
// is due at twice that pace, not after the start's second (a noisy line lost both half the time).
TEST_F(RetransmitTimer, AVerdictInTheFirstBurstBoundsTheWaitForTheBlocksAfterIt) {
    set_clock_ms(1000000);
    sent(16, 1025);  // 1,027 bytes with the frame's end
    sent(17, 1025);
    set_clock_ms(1000105);
    timer_verdict(16, true);  // 102 us a byte at most: 17 is through by 2 x 2,054 x 102 us
    EXPECT_FALSE(overdue_at(17, 1000439));
    EXPECT_TRUE(overdue_at(17, 1000440));
}

TEST_F(RetransmitTimer, UnansweredEnquiriesDoubleTheirIntervalToSixSecondsAndFailAfter68) {
    retransmit.rtt_measured = true;  // a fast line, measured: the shortest timeout
    line_model.rate = 1000000;
    ASSERT_EQ(timer_timeout_ms(), min_timeout_ms);
    write_to(16, "data");
    EXPECT_EQ(we_send(),
              "\x10"
              "data");
    const int64_t start = serial.clock_ms;  // the last acknowledgement came before this block
    int64_t last = start;
    int64_t wait = min_timeout_ms;
    for (int enquiry = 1; enquiry <= 16; ++enquiry) {
        std::string frame;
        do {
            set_clock_ms(serial.clock_ms + 10);
            codec.last_tx_time = serial.clock;
            frame = we_send();
        } while (frame == "none");
        ASSERT_EQ(frame, "\x50") << "enquiry " << enquiry;
        EXPECT_GE(serial.clock_ms - last, wait) << "enquiry " << enquiry;
        EXPECT_LE(serial.clock_ms - last, wait + 10) << "enquiry " << enquiry;
        last = serial.clock_ms;
        wait = std::min(wait * 2, max_backoff_ms);  // so a line back from a stall is asked in 6 s
    }
    EXPECT_GE(last + max_backoff_ms - start, 68000);  // the 17th cannot come sooner
    set_clock_ms(last + max_backoff_ms);
    codec.last_tx_time = serial.clock;
    EXPECT_EQ(we_send(), "none");
    set_clock_ms(last + max_backoff_ms + 1);
    EXPECT_EQ(link_outcome(we_send), "0 ZARN data link failure.");
}

TEST(BlockSize, GrowsByOneAndDoublesEvery128GoodEvents) {
    reset_up_to_link();
    delivery.block_size = 96;
    delivery.block_max = 4096;
    for (int i = 0; i < 31; ++i) block_grow();
    EXPECT_EQ(delivery.block_size, 127);
    block_grow();
    EXPECT_EQ(delivery.block_size, 254);
    EXPECT_EQ(delivery.good_count, 0);

    delivery = delivery_state{};
    delivery.block_size = 480;
    delivery.good_count = 0;
    for (int i = 0; i < 127; ++i) block_grow();
    EXPECT_EQ(delivery.block_size, 607);
    block_grow();
    EXPECT_EQ(delivery.block_size, 1024);  // 1214 capped under profile H
}

TEST(BlockSize, ShrinksBySixteenthThenHalvesAndKeepsAFloor) {
    reset_up_to_link();
    block_shrink();
    EXPECT_EQ(delivery.block_size, 960);
    block_shrink();
    EXPECT_EQ(delivery.block_size, 480);
    for (int i = 0; i < 10; ++i) block_shrink();
    EXPECT_EQ(delivery.block_size, 16);
}

TEST(Profiles, SetSizesOrOnlyTheLetter) {
    reset_up_to_link();
    EXPECT_EQ(set_profile('M'), 0);
    EXPECT_EQ(delivery.block_max, 256);
    EXPECT_EQ(delivery.window_size, 4096);
    EXPECT_EQ(delivery.block_size, 256);
    EXPECT_EQ(set_profile('X'), -1);
    EXPECT_EQ(link_setup.profile_letter, 'X');
    EXPECT_EQ(delivery.window_size, 4096);
    EXPECT_EQ(set_profile('h'), -1);
}

}  // namespace
