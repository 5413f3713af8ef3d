// nullmodem_bench: pacing accuracy and throughput of tools/nullmodem.
//   nullmodem_bench [SECONDS]   (default 10 per paced run)
// Runs the cable with --print-paths, writes end A as fast as it takes bytes and
// reads end B, and measures the steady-state rate at the receiving end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct cable {
    pid_t pid = -1;
    int a = -1, b = -1;
};

cable start(const std::vector<std::string>& options) {
    int out[2];
    if (pipe(out)) std::exit(1);
    cable c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        std::vector<std::string> args{NULLMODEM_BIN, "--print-paths", "--report", "/dev/null"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& s : args) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* paths = fdopen(out[0], "r");
    char pa[256] = "", pb[256] = "";
    if (!paths || !std::fgets(pa, sizeof pa, paths) || !std::fgets(pb, sizeof pb, paths)) {
        std::fprintf(stderr, "nullmodem did not start\n");
        std::exit(1);
    }
    std::fclose(paths);
    pa[std::strcspn(pa, "\n")] = 0;
    pb[std::strcspn(pb, "\n")] = 0;
    c.a = open(pa, O_RDWR | O_NOCTTY | O_NONBLOCK);
    c.b = open(pb, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (c.a < 0 || c.b < 0) std::exit(1);
    return c;
}

void stop(cable& c) {
    close(c.a);
    close(c.b);
    kill(c.pid, SIGTERM);
    waitpid(c.pid, nullptr, 0);
}

// Keeps A full and reads B for `seconds` after a warm-up; returns bytes per second
// measured between the first and the last read of the measured window.
double measure(cable& c, double warmup, double seconds, uint64_t* total) {
    static uint8_t buf[1 << 16];
    std::memset(buf, 0x5A, sizeof buf);
    double start = now_s(), first = 0, last = 0;
    uint64_t counted = 0;
    for (;;) {
        pollfd p[2] = {{c.a, POLLOUT, 0}, {c.b, POLLIN, 0}};
        poll(p, 2, 100);
        if (p[0].revents & POLLOUT) (void)!write(c.a, buf, sizeof buf);
        if (p[1].revents & POLLIN) {
            ssize_t r = read(c.b, buf, sizeof buf);
            double t = now_s();
            if (r > 0 && t - start >= warmup) {
                if (first == 0)
                    first = t;  // bytes of this read arrived before the window
                else
                    counted += static_cast<uint64_t>(r);
                last = t;
            }
        }
        if (first > 0 && now_s() - first >= seconds) break;
    }
    *total = counted;
    return last > first ? static_cast<double>(counted) / (last - first) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    uint64_t total = 0;
    for (const char* baud : {"9600", "115200"}) {
        cable c = start({"--baud", baud});
        double rate = measure(c, 1.0, seconds, &total);
        stop(c);
        double expect = std::atof(baud) / 10;
        std::printf("baud %-7s %9.1f B/s  expected %8.1f  error %+.3f%%  (%llu bytes)\n", baud,
                    rate, expect, (rate / expect - 1) * 100, (unsigned long long)total);
    }
    cable c = start({});
    double rate = measure(c, 0.5, 3, &total);
    stop(c);
    std::printf("unthrottled  %9.2f MB/s  (%llu bytes)\n", rate / 1e6, (unsigned long long)total);
    return 0;
}
