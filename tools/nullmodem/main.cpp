// nullmodem (installed as kestro-nullmodem): a virtual null-modem cable made of two
// pseudo-terminals. Its report lines keep the prefix "nullmodem:", which scripts read.
// One thread, one ppoll; all line behaviour lives in line.cpp.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "line.h"
#include "options.h"

namespace {

constexpr int EXIT_ENDS_FAILED = 1;
constexpr int EXIT_TOOL_FAILED = 2;
constexpr uint64_t KILL_GRACE_NS = 2 * NS_PER_S;  // SIGTERM, then SIGKILL this much later
constexpr int READS_PER_WAKE = 4;                 // fairness between the two directions

struct cable_end {
    int master = -1;
    int slave = -1;  // our own open: keeps the line up and lets us stop the writer
    std::string path;
    pid_t pid = -1;  // the started end, -1 when none runs (any more)
    int exit_code = -1;
    bool writer_stopped = false;  // TCOOFF in force on the slave
    bool dead = false;            // the master failed: nothing more to read or write
};

struct cable_state {
    options opts;
    cable_end end[2];
    line_state line[2];  // DIR_AB: read from A's master, written to B's
    int signal_fd = -1;
    sigset_t saved_mask{};
    bool with_ends = false;
    bool quit = false;
    uint64_t deadline = 0;       // --duration, 0 none
    uint64_t kill_deadline = 0;  // SIGKILL for ends that ignored SIGTERM, 0 none
};

cable_state cable;

uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NS_PER_S + static_cast<uint64_t>(ts.tv_nsec);
}

void fail(const char* what) {
    std::fprintf(stderr, "%s: %s: %s\n", tool_name, what, std::strerror(errno));
    std::exit(EXIT_TOOL_FAILED);
}

// The termios code of a standard rate; an unthrottled line (0) shows the fastest, and a rate
// no code names leaves the terminal's own.
speed_t speed_code_of(uint64_t baud) {
    static const struct {
        uint64_t baud;
        speed_t code;
    } codes[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
                 {150, B150},         {200, B200},         {300, B300},         {600, B600},
                 {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
                 {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
                 {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
                 {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    if (baud == 0) return B4000000;
    for (const auto& c : codes)
        if (c.baud == baud) return c.code;
    return 0;
}

void open_end(cable_end& end, uint64_t out_baud, uint64_t in_baud) {
    end.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (end.master < 0) fail("posix_openpt");
    char name[128];
    if (grantpt(end.master) || unlockpt(end.master) || ptsname_r(end.master, name, sizeof name))
        fail("pseudo-terminal set-up");
    end.path = name;
    fcntl(end.master, F_SETFD, FD_CLOEXEC);
    fcntl(end.master, F_SETFL, fcntl(end.master, F_GETFL) | O_NONBLOCK);
    end.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (end.slave < 0) fail(name);
    termios attrs{};
    if (tcgetattr(end.slave, &attrs)) fail("tcgetattr");
    cfmakeraw(&attrs);
    // The end sees the line's speed in its terminal's settings, as on a serial port.
    if (speed_t out = speed_code_of(out_baud); out != 0) cfsetospeed(&attrs, out);
    if (speed_t in = speed_code_of(in_baud); in != 0) cfsetispeed(&attrs, in);
    if (tcsetattr(end.slave, TCSANOW, &attrs)) fail("tcsetattr");
}

void write_report(FILE* out) {
    static const char* const names[2] = {"A->B", "B->A"};
    for (int d = 0; d < 2; d++) {
        const line_counts& c = cable.line[d].counts;
        std::fprintf(
            out,
            "nullmodem: %s sent=%llu delivered=%llu corrupted=%llu dropped=%llu inserted=%llu\n",
            names[d], (unsigned long long)c.sent, (unsigned long long)c.delivered,
            (unsigned long long)c.corrupted, (unsigned long long)c.dropped,
            (unsigned long long)c.inserted);
    }
    if (!cable.with_ends) return;
    for (int e = 0; e < 2; e++)
        std::fprintf(out, "nullmodem: end %c exit=%d\n", e == END_A ? 'A' : 'B',
                     cable.end[e].exit_code);
}

// A report file is replaced whole, so a reader never sees half of one.
void report() {
    const std::string& path = cable.opts.report_path;
    if (path.empty()) {
        write_report(stderr);
        return;
    }
    // Only a regular file (or a new one) is replaced by renaming: renaming over a device
    // such as /dev/null would put an ordinary file in its place.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        if (FILE* direct = std::fopen(path.c_str(), "w")) {
            write_report(direct);
            std::fclose(direct);
        }
        return;
    }
    std::string tmp = path + ".tmp";
    FILE* out = std::fopen(tmp.c_str(), "w");
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", tool_name, tmp.c_str());
        return;
    }
    write_report(out);
    std::fclose(out);
    std::rename(tmp.c_str(), path.c_str());
}

[[noreturn]] void exec_end(const end_options& eo, const cable_end& end) {
    sigprocmask(SIG_SETMASK, &cable.saved_mask, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (!eo.stderr_path.empty()) {
        int fd = open(eo.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 2) < 0) _exit(127);
        if (fd != 2) close(fd);
    }
    if (eo.door) {
        // One open on both: the line is read and written through either descriptor.
        int fd = open(end.path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0) _exit(127);
        if (fd > 1) close(fd);
    }
    std::vector<std::string> args;
    for (std::string arg : eo.command) {
        for (size_t at = arg.find("{}"); at != std::string::npos;
             at = arg.find("{}", at + end.path.size()))
            arg.replace(at, 2, end.path);
        args.push_back(arg);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "%s: cannot run %s: %s\n", tool_name, argv[0], std::strerror(errno));
    _exit(127);
}

void start_end(int e) {
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) exec_end(cable.opts.end[e], cable.end[e]);
    cable.end[e].pid = pid;
}

void terminate_ends(uint64_t now) {
    for (cable_end& end : cable.end)
        if (end.pid > 0) kill(end.pid, SIGTERM);
    if (!cable.kill_deadline) cable.kill_deadline = now + KILL_GRACE_NS;
}

void reap_ends() {
    for (cable_end& end : cable.end) {
        int status = 0;
        if (end.pid <= 0 || waitpid(end.pid, &status, WNOHANG) != end.pid) continue;
        end.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        end.pid = -1;
    }
}

void handle_signals(uint64_t now) {
    signalfd_siginfo info{};
    while (read(cable.signal_fd, &info, sizeof info) == sizeof info) {
        switch (info.ssi_signo) {
        case SIGCHLD: reap_ends(); break;
        case SIGUSR1: report(); break;
        default:
            if (cable.with_ends)
                terminate_ends(now);
            else
                cable.quit = true;
        }
    }
}

bool finished() {
    if (cable.with_ends) return cable.end[END_A].pid < 0 && cable.end[END_B].pid < 0;
    return cable.quit;
}

// A writing end is stopped as a UART stops its sender: output of its slave is
// suspended while the queue of its direction is full.
void apply_flow(cable_end& src, line_state& line) {
    bool stop = line_stop_writer(line);
    if (stop == src.writer_stopped) return;
    if (tcflow(src.slave, stop ? TCOOFF : TCOON) == 0) src.writer_stopped = stop;
}

// An end that was started and has exited reads nothing: bytes for it are lost.
bool end_gone(const cable_end& end) { return end.dead || (cable.with_ends && end.pid < 0); }

void pump(int d, uint64_t now) {
    cable_end& src = cable.end[d == DIR_AB ? END_A : END_B];
    cable_end& dst = cable.end[d == DIR_AB ? END_B : END_A];
    line_state& line = cable.line[d];
    for (;;) {
        line_run(line, now);
        const uint8_t* bytes = nullptr;
        size_t n = line_due(line, now, &bytes);
        if (n == 0) break;
        if (end_gone(dst)) {
            line_discard(line, n);
            continue;
        }
        ssize_t w = write(dst.master, bytes, n);
        if (w > 0) {
            line_handed(line, static_cast<size_t>(w));
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno != EAGAIN) {
            dst.dead = true;  // EIO: that side is gone for good
        } else {
            break;
        }
    }
    apply_flow(src, line);
}

void read_end(int e) {
    cable_end& end = cable.end[e];
    line_state& line = cable.line[e == END_A ? DIR_AB : DIR_BA];
    for (int i = 0; i < READS_PER_WAKE && line_room(line) > 0; i++) {
        uint8_t* dst = nullptr;
        size_t room = ring_back_span(line.queue, &dst);
        ssize_t r = read(end.master, dst, room);
        if (r > 0) {
            ring_commit(line.queue, static_cast<size_t>(r));
            // Stop the writer at once: every read before it lets the writer push more.
            apply_flow(end, line);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        // EIO: every opener of the slave has gone; with ours held open this is rare.
        if (r == 0 || errno != EAGAIN) end.dead = true;
        break;
    }
}

int64_t next_wake(uint64_t now) {
    int64_t next = -1;
    auto sooner = [&next](int64_t ns) {
        if (ns >= 0 && (next < 0 || ns < next)) next = ns;
    };
    for (const line_state& line : cable.line) sooner(line_next_event(line, now));
    for (uint64_t at : {cable.deadline, cable.kill_deadline})
        if (at) sooner(at > now ? static_cast<int64_t>(at - now) : 0);
    return next;
}

void check_deadlines(uint64_t now) {
    if (cable.deadline && now >= cable.deadline) {
        cable.deadline = 0;
        if (cable.with_ends)
            terminate_ends(now);
        else
            cable.quit = true;
    }
    if (cable.kill_deadline && now >= cable.kill_deadline) {
        cable.kill_deadline = 0;
        for (cable_end& end : cable.end)
            if (end.pid > 0) kill(end.pid, SIGKILL);
    }
}

void run() {
    for (;;) {
        uint64_t now = now_ns();
        check_deadlines(now);
        for (int d = 0; d < 2; d++) pump(d, now);
        if (finished()) return;
        pollfd fds[3] = {{cable.signal_fd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        for (int e = 0; e < 2; e++) {
            cable_end& end = cable.end[e];
            if (end.dead) continue;
            const line_state& out_line = cable.line[e == END_A ? DIR_AB : DIR_BA];
            const line_state& in_line = cable.line[e == END_A ? DIR_BA : DIR_AB];
            const uint8_t* unused = nullptr;
            fds[1 + e].fd = end.master;
            if (line_room(out_line) > 0) fds[1 + e].events |= POLLIN;
            if (line_due(in_line, now, &unused) > 0) fds[1 + e].events |= POLLOUT;
        }
        int64_t wait = next_wake(now);
        timespec ts{wait / static_cast<int64_t>(NS_PER_S), wait % static_cast<int64_t>(NS_PER_S)};
        int n = ppoll(fds, 3, wait < 0 ? nullptr : &ts, nullptr);
        if (n < 0 && errno != EINTR) fail("ppoll");
        if (n <= 0) continue;
        now = now_ns();
        if (fds[0].revents) handle_signals(now);
        for (int e = 0; e < 2; e++)
            if (fds[1 + e].revents & (POLLIN | POLLHUP | POLLERR)) read_end(e);
    }
}

void setup_signals() {
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&mask, sig);
    if (sigprocmask(SIG_BLOCK, &mask, &cable.saved_mask)) fail("sigprocmask");
    cable.signal_fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (cable.signal_fd < 0) fail("signalfd");
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!parse_options(argc, argv, cable.opts, error)) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool_name, error.c_str(), tool_name);
        return EXIT_TOOL_FAILED;
    }
    if (cable.opts.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    if (cable.opts.version) {
        std::printf("%s %s\n", tool_name, tool_version);
        return 0;
    }
    setup_signals();
    // The two directions get different, but fixed, noise from one seed.
    for (int d = 0; d < 2; d++) {
        cable.opts.line[d].seed = cable.opts.seed ^ (d == DIR_AB ? 0 : 0xA5A5A5A5A5A5A5A5ULL);
        line_init(cable.line[d], cable.opts.line[d]);
    }
    open_end(cable.end[END_A], cable.opts.line[DIR_AB].baud, cable.opts.line[DIR_BA].baud);
    open_end(cable.end[END_B], cable.opts.line[DIR_BA].baud, cable.opts.line[DIR_AB].baud);
    if (cable.opts.print_paths) {
        std::printf("%s\n%s\n", cable.end[END_A].path.c_str(), cable.end[END_B].path.c_str());
        std::fflush(stdout);
    }
    uint64_t start = now_ns();
    if (cable.opts.duration_s > 0)
        cable.deadline = start + static_cast<uint64_t>(cable.opts.duration_s * 1e9);
    if (cable.opts.stall_s > 0) {
        uint64_t from = start + static_cast<uint64_t>(cable.opts.stall_at_s * 1e9);
        for (line_state& line : cable.line)
            line_stall(line, from, from + static_cast<uint64_t>(cable.opts.stall_s * 1e9));
    }
    cable.with_ends = !cable.opts.end[END_A].command.empty();
    if (cable.with_ends) {
        start_end(END_A);
        start_end(END_B);
    }
    run();
    report();
    if (!cable.with_ends) return 0;
    return cable.end[END_A].exit_code == 0 && cable.end[END_B].exit_code == 0 ? 0
                                                                              : EXIT_ENDS_FAILED;
}
