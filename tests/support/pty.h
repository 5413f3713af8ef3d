// Pseudo-terminal pairs for tests that need a real terminal behind the line or console.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

struct pty_pair {
    int master = -1;
    int slave = -1;  // our own descriptor: keeps the terminal's attributes alive
    std::string path;
};

inline pty_pair open_pty(bool raw = false) {
    pty_pair p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return p;
    p.path = ptsname(p.master);
    p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY);
    if (raw) {
        termios attrs{};
        tcgetattr(p.slave, &attrs);
        cfmakeraw(&attrs);
        tcsetattr(p.slave, TCSANOW, &attrs);
    }
    return p;
}

inline void close_pty(pty_pair& p) {
    if (p.slave >= 0) close(p.slave);
    if (p.master >= 0) close(p.master);
    p = pty_pair{};
}

// Bytes written to one end reach the other through the kernel's buffer work: poll for
// them rather than guess a delay.
inline bool settle(int fd, int expected) {
    for (int turn = 0; turn < 10000; ++turn) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= expected) return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

// Appends what was written to the slave and is not read from the master yet. A marker
// written to the slave after it comes out last, so nothing still on its way is missed.
// False when the marker never came back.
inline bool read_to_marker(const pty_pair& p, std::string& out) {
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    fcntl(p.slave, F_SETFL, fcntl(p.slave, F_GETFL) | O_NONBLOCK);
    bool marker_sent = false;  // the marker waits for room too
    for (int turn = 0; turn < 100000; ++turn) {
        if (!marker_sent) marker_sent = write(p.slave, "#", 1) == 1;
        char buffer[4096];
        ssize_t n = read(p.master, buffer, sizeof buffer);
        if (n <= 0) {
            poll(nullptr, 0, 1);
            continue;
        }
        std::string got(buffer, static_cast<size_t>(n));
        size_t mark = got.find('#');
        out += got.substr(0, mark);
        if (mark != std::string::npos) return true;
    }
    return false;
}

inline bool same_attrs(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}
