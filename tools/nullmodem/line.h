// One direction of the virtual null-modem cable, as plain logic over a time in
// nanoseconds: no descriptors here, so tests drive it with a made-up clock.
//
// Interface summary:
//   ring_* (ring, ...)              fixed-capacity byte ring; spans never wrap
//   line_init (line, config)        sizes the rings once, seeds the noise
//   line_room (line)                bytes the transmit queue can still take in
//   line_accept (line, bytes, n)    appends what the end wrote (n <= line_room)
//   line_run (line, now)            moves paced bytes from the queue onto the wire
//   line_due (line, now, &span)     bytes that have arrived and may be handed over
//   line_handed (line, n)           the receiving end took n of them
//   line_discard (line, n)          n of them are lost: the receiving end is gone
//   line_next_event (line, now)     ns until line_run/line_due has new work; -1 none
//   line_stop_writer (line)         true while the queue is full: the writer must wait
//   line_stall (line, from, until)  carries nothing in [from, until) (ns on the line's clock)
//   noise_step (line, byte, out)    applies eaten bytes and noise to one byte; bytes written
//                                   to out
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint64_t NS_PER_S = 1000000000ULL;
constexpr size_t DEFAULT_BUFFER = 4096;      // a UART-sized transmit queue
constexpr size_t QUEUE_SLACK = 16384;        // what a writer may push before it is stopped
constexpr size_t WIRE_CAPACITY = 1 << 16;    // bytes on the wire or waiting for the reader
constexpr size_t MARK_CAPACITY = 1024;       // arrival-time records on the wire
constexpr uint64_t CATCH_UP_NS = 100000000;  // line time a late wake-up may make up for

struct byte_ring {
    std::vector<uint8_t> data;  // allocated once by ring_init
    size_t head = 0;            // index of the oldest byte
    size_t count = 0;
};

void ring_init(byte_ring& ring, size_t capacity);
size_t ring_free(const byte_ring& ring);
// The oldest bytes, as far as they lie contiguous.
size_t ring_front_span(const byte_ring& ring, const uint8_t** start);
// Free room after the newest byte, as far as it lies contiguous.
size_t ring_back_span(byte_ring& ring, uint8_t** start);
void ring_commit(byte_ring& ring, size_t n);  // n bytes were written into the back span
void ring_consume(byte_ring& ring, size_t n);
void ring_push(byte_ring& ring, uint8_t byte);

struct noise_config {
    double corrupt = 0;  // per-byte probabilities
    double drop = 0;
    double insert = 0;   // a random byte is put before the byte
    unsigned burst = 1;  // bytes one noise event lasts
};

struct line_config {
    uint64_t baud = 0;  // 0: unthrottled; else baud/10 bytes per second
    // Bytes this direction never carries, as a telnet client takes its escape character or
    // a terminal its flow control: they are dropped (and counted so) wherever they come.
    std::array<bool, 256> eat{};
    bool eats = false;  // any of them set
    size_t buffer = DEFAULT_BUFFER;
    uint64_t latency_ns = 0;
    noise_config noise;
    uint64_t seed = 1;
};

struct line_counts {
    uint64_t sent = 0;       // bytes taken from the writing end
    uint64_t delivered = 0;  // bytes handed to the reading end
    uint64_t corrupted = 0;
    uint64_t dropped = 0;
    uint64_t inserted = 0;
};

enum noise_kind : uint8_t { NOISE_NONE, NOISE_CORRUPT, NOISE_DROP, NOISE_INSERT };

struct wire_mark {
    uint64_t end = 0;  // wire position just after the bytes this mark covers
    uint64_t due = 0;  // when they reach the other end
};

struct line_state {
    line_config config;
    byte_ring queue;  // written by the end, not yet on the wire
    byte_ring wire;   // on the wire or arrived, not yet taken by the reader
    // Arrival times: marks[mark_head .. mark_head+mark_count) in a fixed ring.
    std::vector<wire_mark> marks;
    size_t mark_head = 0;
    size_t mark_count = 0;
    uint64_t wire_in = 0;   // bytes ever put on the wire
    uint64_t wire_out = 0;  // bytes ever handed over
    // Pacing: credit in baud-nanoseconds; one byte (10 bits) costs 10e9 of it.
    uint64_t credit = 0;
    uint64_t last_run = 0;
    bool started = false;
    // Noise.
    uint64_t rng = 0;
    noise_kind burst_kind = NOISE_NONE;
    unsigned burst_left = 0;
    // Stall: nothing moves onto the wire or off it in [stall_from, stall_until).
    uint64_t stall_from = 0;
    uint64_t stall_until = 0;
    // Flow control of the writer.
    bool writer_stopped = false;
    line_counts counts;
};

void line_init(line_state& line, const line_config& config);
size_t line_room(const line_state& line);
void line_accept(line_state& line, const uint8_t* bytes, size_t n);
void line_run(line_state& line, uint64_t now);
size_t line_due(const line_state& line, uint64_t now, const uint8_t** start);
void line_handed(line_state& line, size_t n);
void line_discard(line_state& line, size_t n);
int64_t line_next_event(const line_state& line, uint64_t now);
bool line_stop_writer(line_state& line);
void line_stall(line_state& line, uint64_t from, uint64_t until);
size_t noise_step(line_state& line, uint8_t byte, uint8_t out[2]);
uint64_t noise_next(uint64_t& state);
