// A line whose other side hangs up: the end left on it stops at once with "Carrier lost."
// instead of spinning on a descriptor that is readable for ever. The CPU time is the
// child's own, on the normal clock: a fast test clock would shorten the spin it must catch.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"

namespace {

// Well above what an end that waits properly uses (a few hundredths of a second), and far
// below the minute of a spin up to the silence time-out.
constexpr double cpu_bound_s = 3.0;

enum class line_kind { socket, pseudo_terminal, device_mode };

double cpu_seconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Replaces this (child) process with kestro in `dir`, standard error to `err`.
[[noreturn]] void exec_end(const std::string& dir, int err, std::vector<const char*> words) {
    if (chdir(dir.c_str()) != 0 || dup2(err, 2) < 0) _exit(126);
    words.insert(words.begin(), KESTRO_BIN);
    words.push_back(nullptr);
    execv(KESTRO_BIN, const_cast<char* const*>(words.data()));
    _exit(127);
}

struct hangup_run {
    int status = -1;
    std::string err;  // end A's standard error (door mode only: in device mode it is the console)
    double cpu_s = -1;
};

// End B sends a file to end A over the line; once A's log shows it arrived (the link runs),
// B is killed and its side of the line closed. Returns how A ended.
hangup_run run_until_hangup(line_kind kind) {
    hangup_run run;
    scratch_dir dir;
    write_file(dir.root / "b" / "f", std::string(3000, 'x'));
    std::filesystem::create_directories(dir.root / "a");
    int a_line = -1, b_line = -1;
    std::string line_path;
    pty_pair console;
    if (kind == line_kind::socket) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return run;
        a_line = pair[0];
        b_line = pair[1];
    } else {
        pty_pair line = open_pty(true);
        a_line = line.slave;
        b_line = line.master;
        line_path = line.path;
        if (kind == line_kind::device_mode) {
            console = open_pty();
            set_nonblocking(console.master);
        }
    }
    int err_pipe[2];
    if (a_line < 0 || b_line < 0 || pipe(err_pipe) != 0) return run;
    set_nonblocking(err_pipe[0]);
    int null_fd = open("/dev/null", O_RDWR);

    pid_t b = fork();
    if (b == 0) {
        dup2(b_line, 0);
        dup2(b_line, 1);
        exec_end(dir.path("b"), null_fd, {"f"});
    }
    close(b_line);  // from here on only B holds its side: B's death closes it

    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    bool killed = false;
    run.status = run_child(
        [&] {
            if (kind == line_kind::device_mode) {
                // The console is the controlling terminal, as a user's would be.
                setsid();
                ioctl(console.slave, TIOCSCTTY, 0);
                dup2(console.slave, 0);
                dup2(console.slave, 1);
                setenv("TERM", "xterm", 1);
                unsetenv("LINES");
                unsetenv("COLUMNS");
                exec_end(dir.path("a"), console.slave, {"-z", "a.log", "-p", line_path.c_str()});
            }
            dup2(a_line, 0);
            dup2(a_line, 1);
            exec_end(dir.path("a"), err_pipe[1], {"-z", "a.log"});
        },
        [&](pid_t) {
            drain_into(err_pipe[0], run.err);
            if (console.master >= 0) {
                std::string screen;
                drain_into(console.master, screen);
            }
            if (!killed && !read_file(dir.root / "a" / "a.log").empty()) {
                kill(b, SIGKILL);
                if (console.master >= 0) close_pty(console);  // the terminal goes too
                killed = true;
            }
        });
    getrusage(RUSAGE_CHILDREN, &after);
    run.cpu_s = cpu_seconds(after) - cpu_seconds(before);
    if (!killed) kill(b, SIGKILL);
    waitpid(b, nullptr, 0);
    close_pty(console);
    for (int fd : {a_line, err_pipe[0], err_pipe[1], null_fd}) close(fd);
    EXPECT_TRUE(killed) << "the link never ran: " << run.err;
    return run;
}

TEST(DeadLine, HangUpEndsTheRunAtOnceAsCarrierLostWithoutSpinning) {
    for (line_kind kind : {line_kind::socket, line_kind::pseudo_terminal, line_kind::device_mode}) {
        SCOPED_TRACE(static_cast<int>(kind));
        hangup_run run = run_until_hangup(kind);
        // Exited by itself (a socket's peer gone must not kill it with SIGPIPE), nothing owed.
        ASSERT_TRUE(WIFEXITED(run.status)) << run.status;
        EXPECT_EQ(WEXITSTATUS(run.status), 0);
        if (kind != line_kind::device_mode) {
            EXPECT_NE(run.err.find("\r\nCarrier lost.\r\n"), std::string::npos) << run.err;
        }
        EXPECT_LT(run.cpu_s, cpu_bound_s);
    }
}

}  // namespace
