#include "link_test_util.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/channels.h"
#include "link/supervise.h"
#include "serial/port.h"

std::deque<std::string> frames_to_send;
std::vector<std::string> frames_received;

fake_line::fake_line(int send_buffer) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    ours = fds[0];
    peer = fds[1];
    if (send_buffer > 0) setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    fcntl(ours, F_SETFL, fcntl(ours, F_GETFL) | O_NONBLOCK);
    fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
    serial.line_fd = ours;
}

fake_line::~fake_line() {
    close(ours);
    close(peer);
    serial.line_fd = -1;
}

void fake_line::feed(const std::string& data) const {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(peer, data.data() + done, data.size() - done);
        ASSERT_GT(n, 0) << "the fake line is full";
        done += static_cast<size_t>(n);
    }
}

std::string fake_line::take(int most) const {
    std::string out(static_cast<size_t>(most), '\0');
    ssize_t n = read(peer, out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string fake_line::drain() const {
    std::string out;
    for (;;) {
        std::string part = take(65536);
        if (part.empty()) return out;
        out += part;
    }
}

void alloc_test_channels() {
    struct range {
        int first, last, send_size, send_class, recv_size;
    };
    for (range r : {range{0, 0, 256, CLASS_NORMAL, 256}, range{1, 1, 256, CLASS_NORMAL, 512},
                    range{2, 3, 512, CLASS_NORMAL, 1024}, range{8, 15, 256, CLASS_MESSAGE, 514},
                    range{16, 31, 2048, CLASS_BULK, 2048}})
        for (int n = r.first; n <= r.last; ++n) {
            send_alloc(n, r.send_size, r.send_class);
            recv_alloc(n, r.recv_size);
        }
}

uint8_t* frame_factory() {
    if (frames_to_send.empty()) return nullptr;
    std::string frame = frames_to_send.front();
    frames_to_send.pop_front();
    memcpy(codec.tx_frame, frame.data(), frame.size());
    return codec.tx_frame + frame.size();
}

void frame_tap(uint8_t* end) {
    frames_received.emplace_back(reinterpret_cast<char*>(codec.rx_frame), end - codec.rx_frame);
}

void codec_with_tap(int mode) {
    codec = codec_state{};
    codec.link_mode = mode;
    frame_source = frame_factory;
    frame_sink = frame_tap;
    frames_to_send.clear();
    frames_received.clear();
    serial.clock = 0;
    serial.want_write = false;
}

std::string with_trailer(const std::string& frame) {
    auto* p = reinterpret_cast<const uint8_t*>(frame.data());
    uint16_t trailer = static_cast<uint16_t>(~crc16(p, p + frame.size()));
    return frame + static_cast<char>(trailer >> 8) + static_cast<char>(trailer & 0xFF);
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

const char* termination_message() { return termination.fail_message; }
