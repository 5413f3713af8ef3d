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

#include "app/settings.h"
#include "files/entries.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "session/transfer.h"

inline time_t test_now = 1000;
inline time_t test_clock() { return test_now; }

class Transfer : public ::testing::Test {
protected:
    std::filesystem::path root;
    std::filesystem::path home;

    void SetUp() override {
        reset_state();
        free_rings();
        channels = channels_state{};
        alloc_link_channels();
        char pattern[] = "/tmp/kestro-xfer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        home = std::filesystem::current_path();
        std::filesystem::current_path(root);
        umask(022);
        settings.log_fd = open("log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_NE(settings.log_fd, -1);
    }
    void TearDown() override {
        if (receiving.incoming_fd != 0) close(receiving.incoming_fd);
        if (sending.outgoing_fd != 0) close(sending.outgoing_fd);
        if (settings.log_fd != -1) close(settings.log_fd);
        reset_state();
        free_rings();
        channels = channels_state{};
        std::filesystem::current_path(home);
        std::filesystem::remove_all(root);
    }

    static void reset_state() {
        for (file_queue* q : {&files.upload_queue, &files.request_queue, &files.receive_names,
                              &sending.offered_queue, &sending.send_queue, &sending.in_transit_queue,
                              &receiving.receive_queue, &receiving.received_queue,
                              &receiving.requested_queue, &finished_queue})
            queue_free_all(q);
        // current_outgoing, when set, is in in_transit_queue and was freed with it.
        if (receiving.current_incoming != nullptr) free_entry(receiving.current_incoming);
        dir_list_free_all(&files.upload_dirs);
        dir_list_free_all(&files.extra_dirs);
        files = files_state{};
        settings = settings_state{};
        sending = send_state{};
        receiving = receive_state{};
        stats = stats_state{};
        finished_queue = file_queue{};
        cycle = cycle_state{};
        delivery = delivery_state{};
        test_now = 1000;
        time_source = test_clock;
        clock_update();
    }
    static void free_rings() {
        for (int n = 0; n < LINK_CHANNELS; ++n) {
            if (channels.send_channels[n] != nullptr) free(channels.send_channels[n]->buffer_start);
            if (channels.recv_channels[n] != nullptr) free(channels.recv_channels[n]->buffer_start);
        }
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

    static std::string random_bytes(size_t n, unsigned seed) {
        std::mt19937 gen(seed);
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(gen() & 0xFF);
        return s;
    }
    static void put_file(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string file_text(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
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
