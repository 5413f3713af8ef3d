// A line whose other side hangs up (a socket, a pseudo-terminal) ends the run at once as
// "Carrier lost." instead of spinning on a descriptor readable for ever until the silence
// time-out. The CPU time is the child's own, on the normal clock: a fast test clock would
// shorten the very spin it must catch.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <string>

#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"

namespace {

// Far above what an end that waits properly uses, far below a spin of a minute.
constexpr double cpu_bound_s = 3.0;

double cpu_seconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// In the child: a door-mode end on `line` in `dir`, standard error to `err`.
[[noreturn]] void door_end(const std::string& dir, int line, int err, const char* word,
                           const char* more) {
    dup2(line, 0);
    dup2(line, 1);
    dup2(err, 2);
    if (chdir(dir.c_str()) == 0) execl(KESTRO_BIN, KESTRO_BIN, word, more, nullptr);
    _exit(127);
}

TEST(DeadLine, HangUpEndsTheRunAtOnceAsCarrierLostWithoutSpinning) {
    for (bool socket : {true, false}) {
        scratch_dir dir;
        write_file(dir.root / "b" / "f", std::string(3000, 'x'));  // B sends it to A
        std::filesystem::create_directories(dir.root / "a");
        int line[2], err[2];
        if (socket) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, line), 0);
        } else {
            pty_pair pty = open_pty(true);
            line[0] = pty.slave;
            line[1] = pty.master;
        }
        int a_line = line[0], b_line = line[1];
        ASSERT_EQ(pipe(err), 0);
        set_nonblocking(err[0]);
        pid_t b = fork();
        if (b == 0) door_end(dir.path("b"), b_line, err[1], "f", nullptr);
        close(b_line);  // B's death alone closes its side now

        // A logs into a.log: a line there means the link runs, and B is killed.
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        std::string said;
        bool killed = false;
        int status = run_child([&] { door_end(dir.path("a"), a_line, err[1], "-z", "a.log"); },
                               [&](pid_t) {
                                   drain_into(err[0], said);
                                   if (!killed && !read_file(dir.root / "a" / "a.log").empty())
                                       killed = kill(b, SIGKILL) == 0;
                               });
        getrusage(RUSAGE_CHILDREN, &after);
        waitpid(b, nullptr, 0);
        for (int fd : {a_line, err[0], err[1]}) close(fd);
        ASSERT_TRUE(killed) << said;
        ASSERT_TRUE(WIFEXITED(status)) << status;  // not killed by SIGPIPE either
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_NE(said.find("\nCarrier lost.\n"), std::string::npos) << said;  // a pipe: plain LF
        EXPECT_LT(cpu_seconds(after) - cpu_seconds(before), cpu_bound_s);
    }
}

// A door reads its line from standard input and writes it to standard output (a caller may
// hand over two pipes): input at end of file ends the run at once as "Carrier lost." (it
// read the write-only standard output before, and timed out).
TEST(DeadLine, DoorWithInputAtEndOfFileEndsAtOnceAsCarrierLost) {
    program_run run = run_program(KESTRO_FASTCLOCK_BIN, {"-c"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.err.find("\nCarrier lost.\n"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("KESTRO"), std::string::npos);  // the banner went out on standard output
}

}  // namespace
