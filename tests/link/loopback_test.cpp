// Two link ends in one process, each with its own codec, channels, schedule and delivery
// state (swapped in and out of the single instances around every step), joined by a line
// that loses and corrupts bytes. Every channel's bytes must arrive exactly once and in order.
#include <malloc.h>

#include <random>

#include "link/channels.h"
#include "link/delivery.h"
#include "link/line_model.h"
#include "link/rate_meter.h"
#include "link/retransmit.h"
#include "link/setup.h"
#include "link_test_util.h"
#include "serial/port.h"

namespace {

constexpr int stream_bytes = 12000;  // per channel and direction

struct link_end {
    codec_state codec_saved;
    channels_state channels_saved;
    schedule_state schedule_saved;
    delivery_state delivery_saved;
    retransmit_state retransmit_saved;
    line_model_state line_model_saved;
    rate_meter_state rate_meter_saved;
    int line_fd = -1;
    int written[LINK_CHANNELS] = {};
    int checked[LINK_CHANNELS] = {};
    int first_fault = -1;  // channel whose stream went wrong
};

// Never 0, so the zero that closes a chat block cannot be mistaken for data.
uint8_t stream_byte(int channel, int index) {
    return static_cast<uint8_t>(1 + (index * 7 + channel * 13 + index / 255) % 255);
}

void load(link_end& end) {
    std::swap(codec, end.codec_saved);
    std::swap(channels, end.channels_saved);
    std::swap(schedule, end.schedule_saved);
    std::swap(delivery, end.delivery_saved);
    std::swap(retransmit, end.retransmit_saved);
    std::swap(line_model, end.line_model_saved);
    std::swap(rate_meter, end.rate_meter_saved);
    serial.line_fd = end.line_fd;
}

void unload(link_end& end) { load(end); }  // swapping back

bool used_channel(int n) { return n < 4 || n > 7; }

void produce_and_consume(link_end& end) {
    uint8_t buffer[1024];
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (!used_channel(n)) continue;
        int count = 0;
        while (end.written[n] + count < stream_bytes && count < static_cast<int>(sizeof buffer)) {
            buffer[count] = stream_byte(n, end.written[n] + count);
            ++count;
        }
        end.written[n] += send_write(n, buffer, count);
        int got = recv_read(n, buffer, sizeof buffer);
        for (int i = 0; i < got; ++i) {
            if (buffer[i] == 0 && n >= 8 && n <= 15) continue;  // end of a chat block
            if (buffer[i] != stream_byte(n, end.checked[n]++) && end.first_fault < 0)
                end.first_fault = n;
        }
    }
}

bool finished(const link_end& end) {
    for (int n = 0; n < LINK_CHANNELS; ++n)
        if (used_channel(n) && end.checked[n] < stream_bytes) return false;
    return true;
}

// Moves what one end wrote to the other, losing or changing a byte now and then.
void carry(int from, int to, std::mt19937& rng, int noise_one_in) {
    static uint8_t buffer[65536];
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0) return;
    ssize_t kept = 0;
    for (ssize_t i = 0; i < n; ++i) {
        unsigned roll = rng() % static_cast<unsigned>(noise_one_in);
        if (roll == 0) continue;
        buffer[kept++] =
            roll == 1 ? static_cast<uint8_t>(buffer[i] ^ (1 + rng() % 255)) : buffer[i];
    }
    ssize_t done = 0;
    while (done < kept) {
        ssize_t w = write(to, buffer + done, static_cast<size_t>(kept - done));
        if (w <= 0) break;  // the far side is full: those bytes are lost like any other
        done += w;
    }
}

struct loopback_result {
    bool completed;
    int faults;
    long allocated_during_run;
    int repairs;  // NAKs accepted by either end
};

loopback_result run_loopback(int mode, unsigned seed, int noise_one_in) {
    fake_line a_line(65536);
    fake_line b_line(65536);
    std::mt19937 rng(seed);
    link_end ends[2];
    ends[0].line_fd = a_line.ours;
    ends[1].line_fd = b_line.ours;
    for (link_end& end : ends) {
        codec = codec_state{};
        codec.link_mode = mode;
        link_setup.char_flags[0x11] = CF_ESCAPE | CF_DROP;
        link_setup.char_flags[0x13] = CF_ESCAPE | CF_DROP;
        link_setup.char_flags['{'] = static_cast<uint8_t>(mode & 3);
        delivery = delivery_state{};
        retransmit = retransmit_state{};
        line_model = line_model_state{};
        rate_meter = rate_meter_state{};
        channels = channels_state{};
        schedule = schedule_state{};
        alloc_test_channels();
        serial.clock = 1000;
        serial.clock_ms = 1000000;
        codec.last_rx_time = 1000;
        codec.last_tx_time = 1000;
        std::swap(codec, end.codec_saved);
        std::swap(channels, end.channels_saved);
        std::swap(schedule, end.schedule_saved);
        std::swap(delivery, end.delivery_saved);
        std::swap(retransmit, end.retransmit_saved);
        std::swap(line_model, end.line_model_saved);
        std::swap(rate_meter, end.rate_meter_saved);
    }
    long before = static_cast<long>(mallinfo2().uordblks);
    bool completed = false;
    for (int step = 0; step < 400000 && !completed; ++step) {
        serial.clock_ms += 20;  // a second every 50 steps
        serial.clock = serial.clock_ms / 1000;
        for (link_end& end : ends) {
            load(end);
            link_receive();
            produce_and_consume(end);
            link_transmit();
            unload(end);
        }
        carry(a_line.peer, b_line.peer, rng, noise_one_in);
        carry(b_line.peer, a_line.peer, rng, noise_one_in);
        completed = finished(ends[0]) && finished(ends[1]);
    }
    long allocated = static_cast<long>(mallinfo2().uordblks) - before;
    int faults = (ends[0].first_fault >= 0) + (ends[1].first_fault >= 0);
    int repairs = ends[0].delivery_saved.tx_errors + ends[1].delivery_saved.tx_errors;
    for (link_end& end : ends) {
        load(end);
        free_link_channels();
        unload(end);
    }
    codec = codec_state{};
    return {completed, faults, allocated, repairs};
}

TEST(Loopback, EveryChannelArrivesOnceAndInOrderOverANoisyLine) {
    for (int mode : {0, MODE_ESC_OUT | MODE_ESC_IN, MODE_B85_OUT | MODE_B85_IN,
                     MODE_7BIT_OUT | MODE_7BIT_IN | MODE_ESC_OUT | MODE_ESC_IN}) {
        loopback_result r = run_loopback(mode, 42, 20000);
        EXPECT_TRUE(r.completed) << "mode " << mode;
        EXPECT_EQ(r.faults, 0) << "mode " << mode;
        EXPECT_EQ(r.allocated_during_run, 0) << "the link allocated memory, mode " << mode;
        EXPECT_GT(r.repairs, 0) << "the noise never hit a frame, mode " << mode;
    }
}

}  // namespace
