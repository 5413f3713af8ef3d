// One direction of the cable: transmit queue -> paced, noisy wire -> latency -> reader.
#include "line.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t BYTE_COST = 10 * NS_PER_S;  // ten bit times per byte, in baud-ns
constexpr uint64_t MAX_ELAPSED_NS = NS_PER_S;  // keeps elapsed * baud inside 64 bits

// Credit beyond one byte is what a late wake-up may make up for.
uint64_t credit_cap(const line_config& config) { return BYTE_COST + CATCH_UP_NS * config.baud; }

// Bytes worth waking up for: about a millisecond of line time, so a slow line
// does not cost a wake-up per byte, yet no byte is late by more than that.
uint64_t wake_chunk(const line_config& config) {
    return std::max<uint64_t>(1, config.baud / 10 / 1000);
}

bool noise_enabled(const noise_config& noise) {
    return noise.corrupt > 0 || noise.drop > 0 || noise.insert > 0;
}

bool stalled(const line_state& line, uint64_t now) {
    return now >= line.stall_from && now < line.stall_until;
}

const wire_mark& mark_at(const line_state& line, size_t i) {
    return line.marks[(line.mark_head + i) % MARK_CAPACITY];
}

void add_mark(line_state& line, uint64_t due) {
    if (line.mark_count > 0) {
        wire_mark& last = line.marks[(line.mark_head + line.mark_count - 1) % MARK_CAPACITY];
        if (last.due == due) {
            last.end = line.wire_in;
            return;
        }
    }
    line.marks[(line.mark_head + line.mark_count) % MARK_CAPACITY] = {line.wire_in, due};
    line.mark_count++;
}

// Moves up to `allowed` bytes from the queue to the wire; returns the number taken.
uint64_t move_to_wire(line_state& line, uint64_t allowed) {
    uint64_t taken = 0;
    const bool noisy = noise_enabled(line.config.noise) || line.burst_left > 0 || line.config.eats;
    while (taken < allowed && line.queue.count > 0 && ring_free(line.wire) >= 2) {
        const uint8_t* src = nullptr;
        size_t n = ring_front_span(line.queue, &src);
        n = std::min<uint64_t>(n, allowed - taken);
        if (!noisy) {
            uint8_t* dst = nullptr;
            n = std::min(n, ring_back_span(line.wire, &dst));
            std::memcpy(dst, src, n);
            ring_commit(line.wire, n);
            line.wire_in += n;
        } else {
            size_t i = 0;
            for (; i < n && ring_free(line.wire) >= 2; i++) {
                uint8_t out[2];
                size_t k = noise_step(line, src[i], out);
                for (size_t j = 0; j < k; j++) ring_push(line.wire, out[j]);
                line.wire_in += k;
            }
            n = i;
        }
        ring_consume(line.queue, n);
        taken += n;
    }
    return taken;
}

}  // namespace

void ring_init(byte_ring& ring, size_t capacity) {
    ring.data.assign(capacity, 0);
    ring.head = 0;
    ring.count = 0;
}

size_t ring_free(const byte_ring& ring) { return ring.data.size() - ring.count; }

size_t ring_front_span(const byte_ring& ring, const uint8_t** start) {
    *start = ring.data.data() + ring.head;
    return std::min(ring.count, ring.data.size() - ring.head);
}

size_t ring_back_span(byte_ring& ring, uint8_t** start) {
    size_t tail = (ring.head + ring.count) % ring.data.size();
    *start = ring.data.data() + tail;
    return std::min(ring_free(ring), ring.data.size() - tail);
}

void ring_commit(byte_ring& ring, size_t n) { ring.count += std::min(n, ring_free(ring)); }

void ring_consume(byte_ring& ring, size_t n) {
    n = std::min(n, ring.count);
    ring.head = (ring.head + n) % ring.data.size();
    ring.count -= n;
}

void ring_push(byte_ring& ring, uint8_t byte) {
    if (ring_free(ring) == 0) return;
    ring.data[(ring.head + ring.count) % ring.data.size()] = byte;
    ring.count++;
}

// splitmix64: small, fast, and the same sequence on every machine for a seed.
uint64_t noise_next(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

size_t noise_step(line_state& line, uint8_t byte, uint8_t out[2]) {
    const noise_config& noise = line.config.noise;
    if (line.config.eat[byte]) {
        line.counts.dropped++;
        return 0;
    }
    if (line.burst_left == 0) {
        if (!noise_enabled(noise)) {
            out[0] = byte;
            return 1;
        }
        // One draw per byte, whatever happens, so the pattern depends only on position.
        double u = static_cast<double>(noise_next(line.rng) >> 11) * 0x1.0p-53;
        noise_kind kind = NOISE_NONE;
        if (u < noise.corrupt)
            kind = NOISE_CORRUPT;
        else if (u < noise.corrupt + noise.drop)
            kind = NOISE_DROP;
        else if (u < noise.corrupt + noise.drop + noise.insert)
            kind = NOISE_INSERT;
        if (kind == NOISE_NONE) {
            out[0] = byte;
            return 1;
        }
        line.burst_kind = kind;
        line.burst_left = std::max(1u, noise.burst);
    }
    line.burst_left--;
    switch (line.burst_kind) {
    case NOISE_CORRUPT:
        // A non-zero mask: a corrupted byte always differs from the one sent.
        out[0] = byte ^ static_cast<uint8_t>(1 + noise_next(line.rng) % 255);
        line.counts.corrupted++;
        return 1;
    case NOISE_DROP: line.counts.dropped++; return 0;
    case NOISE_INSERT:
        out[0] = static_cast<uint8_t>(noise_next(line.rng));
        out[1] = byte;
        line.counts.inserted++;
        return 2;
    case NOISE_NONE: break;
    }
    out[0] = byte;
    return 1;
}

void line_init(line_state& line, const line_config& config) {
    line = line_state{};
    line.config = config;
    ring_init(line.queue, config.buffer + QUEUE_SLACK);
    ring_init(line.wire, WIRE_CAPACITY);
    line.marks.assign(MARK_CAPACITY, wire_mark{});
    line.rng = config.seed;
}

size_t line_room(const line_state& line) { return ring_free(line.queue); }

void line_accept(line_state& line, const uint8_t* bytes, size_t n) {
    n = std::min(n, line_room(line));
    while (n > 0) {
        uint8_t* dst = nullptr;
        size_t k = std::min(n, ring_back_span(line.queue, &dst));
        std::memcpy(dst, bytes, k);
        ring_commit(line.queue, k);
        bytes += k;
        n -= k;
    }
}

void line_run(line_state& line, uint64_t now) {
    if (!line.started) {
        line.started = true;
        line.last_run = now;
        line.credit = BYTE_COST;
    }
    if (stalled(line, now)) {
        line.credit = std::min<uint64_t>(line.credit, BYTE_COST);  // a stall saves no line time
        line.last_run = now;
        return;
    }
    uint64_t allowed = UINT64_MAX;
    if (line.config.baud > 0) {
        uint64_t elapsed = std::min(now - line.last_run, MAX_ELAPSED_NS);
        line.credit = std::min(line.credit + elapsed * line.config.baud, credit_cap(line.config));
        // An idle line saves no time for later: the next byte leaves at once, no burst.
        if (line.queue.count == 0) line.credit = std::min(line.credit, BYTE_COST);
        allowed = line.credit / BYTE_COST;
    }
    line.last_run = now;
    if (line.mark_count == MARK_CAPACITY) return;
    uint64_t taken = move_to_wire(line, allowed);
    if (taken == 0) return;
    if (line.config.baud > 0) line.credit -= taken * BYTE_COST;
    line.counts.sent += taken;
    add_mark(line, now + line.config.latency_ns);
}

size_t line_due(const line_state& line, uint64_t now, const uint8_t** start) {
    if (stalled(line, now)) return 0;
    uint64_t arrived = line.wire_out;
    for (size_t i = 0; i < line.mark_count; i++) {
        const wire_mark& mark = mark_at(line, i);
        if (mark.due > now) break;
        arrived = mark.end;
    }
    size_t span = ring_front_span(line.wire, start);
    return std::min<uint64_t>(span, arrived - line.wire_out);
}

void line_handed(line_state& line, size_t n) {
    line_discard(line, n);
    line.counts.delivered += n;
}

void line_discard(line_state& line, size_t n) {
    n = std::min(n, line.wire.count);
    ring_consume(line.wire, n);
    line.wire_out += n;
    while (line.mark_count > 0 && mark_at(line, 0).end <= line.wire_out) {
        line.mark_head = (line.mark_head + 1) % MARK_CAPACITY;
        line.mark_count--;
    }
}

int64_t line_next_event(const line_state& line, uint64_t now) {
    int64_t next = -1;
    auto sooner = [&next](uint64_t ns) {
        if (next < 0 || ns < static_cast<uint64_t>(next)) next = static_cast<int64_t>(ns);
    };
    if (stalled(line, now)) {
        if (line.mark_count > 0 || line.queue.count > 0) sooner(line.stall_until - now);
        return next;
    }
    for (size_t i = 0; i < line.mark_count; i++) {
        const wire_mark& mark = mark_at(line, i);
        if (mark.due > now) {
            sooner(mark.due - now);
            break;
        }
    }
    bool can_move =
        line.queue.count > 0 && ring_free(line.wire) >= 2 && line.mark_count < MARK_CAPACITY;
    if (can_move) {
        if (line.config.baud == 0) {
            sooner(0);
        } else {
            uint64_t need =
                std::min<uint64_t>(line.queue.count, wake_chunk(line.config)) * BYTE_COST;
            uint64_t credit =
                line.credit + std::min(now - line.last_run, MAX_ELAPSED_NS) * line.config.baud;
            sooner(credit >= need ? 0 : (need - credit + line.config.baud - 1) / line.config.baud);
        }
    }
    return next;
}

bool line_stop_writer(line_state& line) {
    size_t limit = line.config.buffer;
    // A little hysteresis, so a full queue does not stop and restart the writer per byte.
    size_t gap = std::min<size_t>(limit / 4, 512);
    if (!line.writer_stopped && line.queue.count >= limit)
        line.writer_stopped = true;
    else if (line.writer_stopped && line.queue.count + gap < limit)
        line.writer_stopped = false;
    return line.writer_stopped;
}

void line_stall(line_state& line, uint64_t from, uint64_t until) {
    line.stall_from = from;
    line.stall_until = until;
}
