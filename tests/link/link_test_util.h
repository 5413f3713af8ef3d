// Shared helpers of the link tests: a fake line, a frame factory and a frame tap.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "link/codec.h"
#include "support/state.h"

// A socketpair behind port_read/port_write; the test holds the peer's end.
struct fake_line {
    int ours = -1;
    int peer = -1;
    explicit fake_line(int send_buffer = 0);
    ~fake_line();
    void feed(const std::string& bytes) const;  // the peer writes to us
    std::string drain() const;                  // everything we wrote that is still unread
    std::string take(int most) const;           // at most `most` of it
};

// The channels a session allocates, with the sizes and classes of its plan (session/plan.cpp,
// above the link): control 0, status 1, offers 2, requests 3, chat 8 to 15, data 16 to 31.
void alloc_test_channels();

// Frames handed to the codec (as if built by the delivery layer) and frames it decoded.
extern std::deque<std::string> frames_to_send;
extern std::vector<std::string> frames_received;
uint8_t* frame_factory();
void frame_tap(uint8_t* end);

// Resets the codec with the factory and the tap in place of the delivery layer.
void codec_with_tap(int mode);

std::string with_trailer(const std::string& frame);
std::string bytes(std::initializer_list<int> values);

// How a piece of work ended the link: the exit code and the failure message, or "returned".
const char* termination_message();
template <typename Work>
std::string link_outcome(Work&& work) {
    int code = end_code(work);
    return code < 0 ? "returned" : std::to_string(code) + " " + termination_message();
}
