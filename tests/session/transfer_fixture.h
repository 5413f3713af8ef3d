// The transfer tests run one end against real channels in a scratch directory. The test
// plays the peer: it puts bytes into receive channels and takes what went into send
// channels, as the link would after the peer acknowledged it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files/lists.h"
#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/cycle.h"
#include "session/figures.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stall.h"
#include "session/stats.h"
#include "session/status.h"
#include "session/transfer.h"
#include "support/clock.h"
#include "support/scratch.h"
#include "support/state.h"

class Transfer : public ::testing::Test {
   protected:
    scratch_dir dir;

    void SetUp() override {
        reset_state();
        alloc_link_channels();
        peer_announced({});  // a peer's opening block that announces nothing has come
        ASSERT_FALSE(dir.root.empty());
        dir.enter();
        umask(022);
        stats.log_fd = open("log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(stats.log_fd, -1);
    }
    void TearDown() override {
        if (receiving.stream.fd != -1) close(receiving.stream.fd);
        if (sending.stream.fd != -1) close(sending.stream.fd);
        if (stats.log_fd != -1) close(stats.log_fd);
        reset_state();
    }

    static void reset_state() {
        reset_up_to_session();
        use_fake_clock(1000);
    }

    // Everything written into send channel n, taken as delivered and acknowledged.
    static std::string wire(int n) {
        link_channel* rec = channels.send_channels[n];
        std::string out;
        uint8_t* pos = rec->read_pos;
        for (int i = 0; i < rec->queued; ++i) {
            out.push_back(static_cast<char>(*pos));
            if (++pos == rec->buffer_end) pos = rec->buffer_start;
        }
        send_reset(n);
        return out;
    }
    // The peer's bytes arriving in receive channel n.
    static void peer(int n, const std::string& bytes) {
        link_channel* rec = channels.recv_channels[n];
        ASSERT_LE(static_cast<int>(bytes.size()), rec->room);
        for (char c : bytes) {
            *rec->write_pos = static_cast<uint8_t>(c);
            if (++rec->write_pos == rec->buffer_end) rec->write_pos = rec->buffer_start;
        }
        rec->room -= static_cast<int>(bytes.size());
        rec->queued += static_cast<int>(bytes.size());
    }
    static std::string offer_record(int32_t size, const std::string& name) {
        return std::string("\xBD\x6D\x69\x22", 4) + le32(size) + name + '\0';
    }
    static std::string le32(int32_t v) {
        std::string r(4, '\0');
        memcpy(r.data(), &v, 4);
        return r;
    }
    static std::string le64(uint64_t v) {
        std::string r;
        for (int i = 0; i < 8; ++i) r += static_cast<char>(v >> (8 * i));
        return r;
    }
    static uint64_t digest_of(const std::string& bytes) {
        file_digest d;
        digest_start(&d);
        digest_add(&d, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        return digest_value(&d);
    }
    // Both ends announced the features.
    static void both_announce(const session_features& both) {
        announce(both);
        peer_announced(both);
    }
    // Both ends announced the whole-file checks (and, with `compress`, compression).
    static void both_extended(bool compress = false) {
        both_announce({.compress = compress, .extended = true, .utf8_names = true});
    }
    static std::string extended_offer(const std::string& content, const std::string& name,
                                      int64_t mtime = 0) {
        return le64(content.size()) + le64(static_cast<uint64_t>(mtime)) +
               le64(digest_of(content)) + name + '\0';
    }

    static std::string random_bytes(size_t n, unsigned seed) {
        std::mt19937 gen(seed);
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(gen() & 0xFF);
        return s;
    }
    static void put_file(const std::string& path, const std::string& content) {
        write_file(path, content);
    }
    static std::string file_text(const std::string& path) { return read_file(path); }
    // The status letters sent over `seconds` of a peer heard (keep-alives) with no block
    // moving; with `busy` the link carries other bytes, so the wait does not count.
    static std::string heard_for(int seconds, bool busy = false) {
        for (int i = 0; i < seconds; ++i) {
            fake_clock_at(serial.clock + 1);
            codec.last_rx_time = serial.clock;
            if (busy) delivery.rx_bytes += 10;
            receive_data();
            watch_stalls();
        }
        status_sender();
        return wire(CH_STATUS);
    }
    // What the work wrote on standard error.
    template <typename Work>
    static std::string errors_of(Work&& work) {
        int saved = dup(2), errors = open("errors", O_RDWR | O_CREAT | O_TRUNC, 0644);
        dup2(errors, 2);
        work();
        dup2(saved, 2);
        for (int fd : {saved, errors}) close(fd);
        return read_file("errors");
    }
    static std::vector<std::string> log_lines() {
        std::vector<std::string> lines;
        std::istringstream in(file_text("log"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Status letters and names of the finished entries, in order.
    static std::vector<std::string> finished() {
        std::vector<std::string> out;
        for (const file_entry* e = finished_queue.head; e != nullptr; e = e->next)
            out.push_back(std::string(1, static_cast<char>(e->status)) + ":" + e->name);
        return out;
    }
    static int count(const file_queue& q) {
        int n = 0;
        for (const file_entry* e = q.head; e != nullptr; e = e->next) ++n;
        return n;
    }
};
