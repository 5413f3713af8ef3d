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

// In the child: a door-mode end in `dir` reading its line from `in` and writing it to `out`,
// standard error to `err`.
[[noreturn]] void door_end(const std::string& dir, int in, int out, int err, const char* word, const char* more,
                           const char* binary = KESTRO_BIN) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(dir.c_str()) == 0) execl(binary, binary, word, more, nullptr);
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
        if (b == 0) door_end(dir.path("b"), b_line, b_line, err[1], "f", nullptr);
        close(b_line);  // B's death alone closes its side now

        // A logs into a.log: a line there means the link runs, and B is killed.
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        std::string said;
        bool killed = false;
        int status = run_child([&] { door_end(dir.path("a"), a_line, a_line, err[1], "-z", "a.log"); },
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
        EXPECT_NE(said.find("\r\nCarrier lost.\r\n"), std::string::npos) << said;
        EXPECT_LT(cpu_seconds(after) - cpu_seconds(before), cpu_bound_s);
    }
}

// A caller may hand over the line as two pipes: the door reads standard input and writes
// standard output. Input at end of file, or not open for reading at all, ends the run at
// once as "Carrier lost." (the fast clock would time the handshake out within seconds).
TEST(DeadLine, DoorReadsStandardInputWritesStandardOutputAndStopsWhenInputFails) {
    scratch_dir dir;
    write_file(dir.root / "b" / "f", std::string(3000, 'x'));
    std::filesystem::create_directories(dir.root / "a");
    int a_to_b[2], b_to_a[2], err[2];
    ASSERT_EQ(pipe(a_to_b), 0);
    ASSERT_EQ(pipe(b_to_a), 0);
    ASSERT_EQ(pipe(err), 0);
    set_nonblocking(err[0]);
    pid_t b = fork();
    if (b == 0) door_end(dir.path("b"), a_to_b[0], b_to_a[1], err[1], "f", nullptr);
    std::string said;
    int status = run_child([&] { door_end(dir.path("a"), b_to_a[0], a_to_b[1], err[1], "-E", "0"); },
                           [&](pid_t) { drain_into(err[0], said); });
    for (int fd : {a_to_b[0], a_to_b[1], b_to_a[0], b_to_a[1]}) close(fd);
    int b_status = 0;
    waitpid(b, &b_status, 0);
    EXPECT_EQ(exit_code(status), 0) << said;
    EXPECT_EQ(exit_code(b_status), 0) << said;
    EXPECT_EQ(read_file(dir.root / "a" / "f"), std::string(3000, 'x'));

    for (int flags : {O_RDONLY, O_WRONLY}) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        set_nonblocking(out[0]);
        said.clear();
        std::string wire;
        status = run_child(
            [&] {
                int input = open("/dev/null", flags);
                door_end(dir.path("a"), input, out[1], err[1], "-c", nullptr, KESTRO_FASTCLOCK_BIN);
            },
            [&](pid_t) {
                drain_into(err[0], said);
                drain_into(out[0], wire);
            });
        close(out[0]);
        close(out[1]);
        EXPECT_EQ(exit_code(status), 0) << said;
        EXPECT_NE(said.find("\r\nCarrier lost.\r\n"), std::string::npos) << "flags " << flags << ": " << said;
        EXPECT_NE(wire.find("KESTRO"), std::string::npos);  // the banner went to standard output
    }
    close(err[0]);
    close(err[1]);
}

}  // namespace
