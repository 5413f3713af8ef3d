// nullmodem_probe: the ends used by the cable's tests.
//   xfer LINE SEND RECV COUNT  full duplex: writes file SEND ("-": nothing) to LINE while
//                              reading COUNT bytes (or "all": until SIGTERM) into RECV;
//                              LINE "-" is the line on descriptors 0 and 1
//   fill LINE IDLE_MS PAUSE_US writes 256-byte pieces, PAUSE_US apart, until the line takes
//                              nothing for IDLE_MS; prints the count
//   samefd PATH                0 when descriptors 0 and 1 are one read-write open of PATH
//   subseq SHORT LONG          0 when file SHORT is a subsequence of file LONG
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t terminated = 0;
void on_term(int) { terminated = 1; }

std::vector<uint8_t> slurp(const char* path) {
    std::vector<uint8_t> data;
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        std::exit(3);
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return data;
}

int open_line(const char* line) {
    if (std::strcmp(line, "-") == 0) return 1;
    int fd = open(line, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(line);
        std::exit(3);
    }
    return fd;
}

int xfer(const char* line, const char* send_path, const char* recv_path, const char* count) {
    std::vector<uint8_t> out;
    if (std::strcmp(send_path, "-") != 0) out = slurp(send_path);
    bool until_term = std::strcmp(count, "all") == 0;
    uint64_t want = until_term ? UINT64_MAX : std::strtoull(count, nullptr, 10);
    int rfd = -1;
    if (std::strcmp(recv_path, "-") != 0) {
        rfd = open(recv_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (rfd < 0) return std::perror(recv_path), 3;
    } else if (!until_term && want > 0) {
        return 3;
    }
    int fd = open_line(line);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    size_t sent = 0;
    uint64_t got = 0;
    uint8_t buf[65536];
    while (!terminated && (sent < out.size() || got < want)) {
        pollfd p{fd, 0, 0};
        if (got < want) p.events |= POLLIN;
        if (sent < out.size()) p.events |= POLLOUT;
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return 4;
        }
        if (p.revents & POLLOUT) {
            ssize_t w = write(fd, out.data() + sent, out.size() - sent);
            if (w > 0) sent += static_cast<size_t>(w);
        }
        if (p.revents & POLLIN) {
            size_t room = static_cast<size_t>(std::min<uint64_t>(sizeof buf, want - got));
            ssize_t r = read(fd, buf, room);
            if (r > 0) {
                if (write(rfd, buf, static_cast<size_t>(r)) != r) return 5;
                got += static_cast<uint64_t>(r);
            }
        }
    }
    return 0;
}

// The pause keeps the writer slower than the cable reacts even on a loaded machine,
// so what it gets in measures the cable's queue, not the kernel's.
int fill(const char* line, int idle_ms, int pause_us) {
    int fd = open_line(line);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    uint8_t buf[256];
    std::memset(buf, 'x', sizeof buf);
    uint64_t total = 0;
    for (;;) {
        ssize_t w = write(fd, buf, sizeof buf);
        if (w > 0) {
            total += static_cast<uint64_t>(w);
            usleep(static_cast<useconds_t>(pause_us));
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, idle_ms) == 0) break;
    }
    std::printf("%llu\n", (unsigned long long)total);
    return 0;
}

int samefd(const char* path) {
    struct stat s0 {
    }, s1{}, sp{};
    if (fstat(0, &s0) || fstat(1, &s1) || stat(path, &sp)) return 2;
    if (s0.st_rdev != sp.st_rdev || s1.st_rdev != sp.st_rdev || !isatty(0)) return 3;
    // Same open file description: a flag set through one shows through the other.
    int flags0 = fcntl(0, F_GETFL);
    if ((flags0 & O_ACCMODE) != O_RDWR) return 4;
    fcntl(0, F_SETFL, flags0 ^ O_NONBLOCK);
    bool shared = ((fcntl(1, F_GETFL) ^ flags0) & O_NONBLOCK) != 0;
    fcntl(0, F_SETFL, flags0);
    return shared ? 0 : 5;
}

int subseq(const char* short_path, const char* long_path) {
    std::vector<uint8_t> s = slurp(short_path), l = slurp(long_path);
    size_t i = 0;
    for (size_t j = 0; j < l.size() && i < s.size(); j++)
        if (l[j] == s[i]) i++;
    return i == s.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "xfer" && argc == 6) return xfer(argv[2], argv[3], argv[4], argv[5]);
    if (cmd == "fill" && argc == 5) return fill(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (cmd == "samefd" && argc == 3) return samefd(argv[2]);
    if (cmd == "subseq" && argc == 4) return subseq(argv[2], argv[3]);
    std::fprintf(stderr, "usage: nullmodem_probe xfer|fill|samefd|subseq ...\n");
    return 2;
}
