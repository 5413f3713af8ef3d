// The cable's line logic on a made-up clock: pacing, latency, flow control, noise.
#include "line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint64_t MS = 1000000;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return data;
}

// Takes everything due at `now` as a reader that is always ready would.
void drain(line_state& line, uint64_t now, std::vector<uint8_t>& out) {
    const uint8_t* bytes = nullptr;
    while (size_t n = line_due(line, now, &bytes)) {
        out.insert(out.end(), bytes, bytes + n);
        line_handed(line, n);
    }
}

// Feeds `in` through a line in pieces of `piece` bytes, stepping the clock by `step`.
std::vector<uint8_t> carry(const line_config& config, const std::vector<uint8_t>& in, size_t piece,
                           uint64_t step, line_counts* counts = nullptr) {
    line_state line;
    line_init(line, config);
    std::vector<uint8_t> out;
    size_t fed = 0;
    uint64_t now = 0;
    while (fed < in.size() || line.queue.count > 0 || line.wire.count > 0) {
        size_t n = std::min({piece, in.size() - fed, line_room(line)});
        line_accept(line, in.data() + fed, n);
        fed += n;
        line_run(line, now);
        drain(line, now, out);
        now += step;
    }
    if (counts) *counts = line.counts;
    return out;
}

size_t differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i++) n += a[i] != b[i];
    return n;
}

line_config config_of(uint64_t baud, size_t buffer = DEFAULT_BUFFER, uint64_t latency_ns = 0) {
    line_config config;
    config.baud = baud;
    config.buffer = buffer;
    config.latency_ns = latency_ns;
    return config;
}

line_config noisy(double corrupt, double drop, double insert, uint64_t seed, unsigned burst = 1) {
    line_config config;
    config.noise = noise_config{corrupt, drop, insert, burst};
    config.seed = seed;
    return config;
}

// Bytes a busy line sends by `end`, woken up at the given irregular steps, less
// what the elapsed time is worth (one byte of credit at the start, so a fresh
// line sends its first byte at once).
int64_t pacing_error(uint64_t baud, std::vector<uint64_t> steps, uint64_t end) {
    line_state line;
    line_init(line, config_of(baud, 1 << 16));
    std::vector<uint8_t> out, fill(4096, 0x55);
    uint64_t now = 0, last = 0;
    for (size_t i = 0; now <= end; i++) {
        line_accept(line, fill.data(), std::min(fill.size(), line_room(line)));
        line_run(line, now);
        drain(line, now, out);
        last = now;
        now += steps[i % steps.size()];
    }
    int64_t worth = static_cast<int64_t>(last / 1000 * baud / 10000000) + 1;
    return static_cast<int64_t>(line.counts.sent) - worth;
}

TEST(LinePacing, BaudOverTenBytesPerSecondWhateverTheWakeUps) {
    EXPECT_EQ(pacing_error(115200, {MS}, 2 * NS_PER_S), 0);
    EXPECT_EQ(pacing_error(115200, {MS / 3, 7 * MS, 40 * MS, 1}, 2 * NS_PER_S), 0);
    EXPECT_EQ(pacing_error(9600, {13 * MS}, 3 * NS_PER_S), 0);
    EXPECT_EQ(pacing_error(110, {MS}, 10 * NS_PER_S), 0);
    EXPECT_EQ(pacing_error(300, {MS / 7}, NS_PER_S), 0);
}

TEST(LinePacing, IdleLineSavesNoBurstButLateWakeUpIsMadeUp) {
    line_state line;
    line_init(line, config_of(9600));
    line_run(line, 0);
    line_run(line, 10 * NS_PER_S);  // ten idle seconds
    std::vector<uint8_t> data = pattern(1000);
    line_accept(line, data.data(), data.size());
    line_run(line, 10 * NS_PER_S);
    EXPECT_EQ(line.counts.sent, 1u);
    // A wake-up 20 ms late still sends what those 20 ms were worth.
    line_run(line, 10 * NS_PER_S + 20 * MS);
    EXPECT_EQ(line.counts.sent, 1u + 19u);
}

TEST(LinePacing, NextEventIsAboutAMillisecondOfLineTime) {
    line_state line;
    line_init(line, config_of(115200));
    std::vector<uint8_t> data = pattern(100);
    line_accept(line, data.data(), data.size());
    line_run(line, 0);
    int64_t wait = line_next_event(line, 0);
    // 11 bytes (a millisecond at 11,520 B/s) after the one sent at once.
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, static_cast<int64_t>(MS));
    line_run(line, static_cast<uint64_t>(wait));
    EXPECT_EQ(line.counts.sent, 1u + 11u);
}

TEST(LineUnthrottled, MovesAllAtOnceAndWaitsForTheReaderWhenTheWireIsFull) {
    line_state line;
    line_init(line, config_of(0, 1 << 20));
    std::vector<uint8_t> data = pattern(200000);
    line_accept(line, data.data(), data.size());
    line_run(line, 0);
    EXPECT_EQ(line.wire.count, WIRE_CAPACITY);
    EXPECT_EQ(line_next_event(line, 0), -1);  // nothing timed: only the reader can help
    std::vector<uint8_t> out;
    while (line.counts.sent < data.size()) {
        drain(line, 0, out);
        line_run(line, 0);
    }
    drain(line, 0, out);
    EXPECT_EQ(out, data);
}

TEST(LineLatency, BytesArriveExactlyTheLatencyLater) {
    line_state line;
    line_init(line, config_of(0, DEFAULT_BUFFER, 25 * MS));
    std::vector<uint8_t> data = pattern(10);
    line_accept(line, data.data(), 4);
    line_run(line, 0);
    line_accept(line, data.data() + 4, 6);
    line_run(line, 5 * MS);
    const uint8_t* bytes = nullptr;
    EXPECT_EQ(line_due(line, 25 * MS - 1, &bytes), 0u);
    EXPECT_EQ(line_next_event(line, 0), static_cast<int64_t>(25 * MS));
    EXPECT_EQ(line_due(line, 25 * MS, &bytes), 4u);
    line_handed(line, 4);
    EXPECT_EQ(line_next_event(line, 25 * MS), static_cast<int64_t>(5 * MS));
    EXPECT_EQ(line_due(line, 30 * MS, &bytes), 6u);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6),
              std::vector<uint8_t>(data.begin() + 4, data.end()));
}

TEST(LineStall, NothingMovesOrArrivesDuringTheStallAndNothingIsLost) {
    line_state line;
    line_init(line, config_of(0, DEFAULT_BUFFER, 10 * MS));
    line_stall(line, 5 * MS, 50 * MS);
    std::vector<uint8_t> data = pattern(8);
    line_accept(line, data.data(), 4);
    line_run(line, 0);  // on the wire before the stall, due at 10 ms
    line_accept(line, data.data() + 4, 4);
    line_run(line, 20 * MS);
    const uint8_t* bytes = nullptr;
    EXPECT_EQ(line_due(line, 20 * MS, &bytes), 0u);
    EXPECT_EQ(line_next_event(line, 20 * MS), static_cast<int64_t>(30 * MS));
    line_run(line, 50 * MS);
    std::vector<uint8_t> out;
    drain(line, 60 * MS, out);
    EXPECT_EQ(out, data);
}

TEST(LineFlow, WriterStoppedAtTheBufferAndResumedWithSomeRoom) {
    line_state line;
    line_init(line, config_of(9600, 4096));
    std::vector<uint8_t> data = pattern(4096 + 100);
    line_accept(line, data.data(), 4095);
    EXPECT_FALSE(line_stop_writer(line));
    line_accept(line, data.data(), 1);
    EXPECT_TRUE(line_stop_writer(line));
    // A writer that had more under way: those bytes are still taken, in the slack.
    EXPECT_GE(line_room(line), QUEUE_SLACK);
    uint64_t now = 0;
    for (; now <= NS_PER_S / 2; now += MS) line_run(line, now);  // 481 bytes out
    EXPECT_TRUE(line_stop_writer(line));                         // still within the hysteresis
    for (; now <= NS_PER_S; now += MS) line_run(line, now);      // 961 out
    EXPECT_FALSE(line_stop_writer(line));
}

TEST(LineNoise, BurstsCorruptRunsOfTheGivenLength) {
    std::vector<uint8_t> in = pattern(60000);
    line_counts counts;
    std::vector<uint8_t> out = carry(noisy(0.002, 0, 0, 11, 5), in, 60000, MS, &counts);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(differing(in, out), counts.corrupted);
    // Runs of changed bytes; touching bursts make longer runs, always whole bursts.
    size_t runs = 0;
    for (size_t i = 0; i < in.size();) {
        if (in[i] == out[i]) {
            i++;
            continue;
        }
        size_t j = i;
        while (j < in.size() && in[j] != out[j]) j++;
        if (j < in.size()) {
            EXPECT_EQ((j - i) % 5, 0u) << "run at " << i;
        }
        runs++;
        i = j;
    }
    EXPECT_GT(runs, 50u);
}

TEST(LineNoise, SameSeedSameNoiseHoweverTheBytesAreChunkedOrPaced) {
    std::vector<uint8_t> in = pattern(30000);
    line_config config = noisy(0.01, 0.01, 0.01, 42);
    std::vector<uint8_t> a = carry(config, in, 30000, MS);
    std::vector<uint8_t> b = carry(config, in, 13, MS);
    config.baud = 1000000;
    std::vector<uint8_t> c = carry(config, in, 500, 3 * MS);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    config.seed = 43;
    EXPECT_NE(a, carry(config, in, 30000, MS));
}

// A line that eats chosen bytes, as a telnet client its escape character: every other byte
// arrives in order, the eaten ones never, and they count as dropped.
TEST(LineEat, ChosenBytesNeverArriveAndTheRestKeepTheirOrder) {
    std::vector<uint8_t> in = pattern(20000);
    line_config config;
    config.eat[0x1D] = config.eat[0x11] = true;
    config.eats = true;
    line_counts counts;
    std::vector<uint8_t> out = carry(config, in, 777, MS, &counts);
    std::vector<uint8_t> want;
    for (uint8_t b : in)
        if (b != 0x1D && b != 0x11) want.push_back(b);
    EXPECT_EQ(out, want);
    EXPECT_EQ(counts.dropped, in.size() - want.size());
    EXPECT_GT(counts.dropped, 100u);
}

}  // namespace
