// The whole end of the run in a child process with its own console and line: the port open,
// the clean-ups registered as the program does, then an end of the planned kind. What the
// child said, its exit code and what it wrote to the line come back.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "link/codec.h"
#include "link/supervise.h"
#include "serial/lock.h"
#include "serial/port.h"
#include "serial/process.h"
#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "support/state.h"

constexpr int outstanding = 3;  // the exit status every failure here must exit with

struct ending {
    int code = -1;
    std::string err;   // standard error (and output) of the child, whole
    std::string line;  // everything the child wrote to the line
};

inline time_t closed_at = -1;  // first clock reading after the port was closed

inline time_t note_close(time_t now) {
    if (!serial.is_open && closed_at < 0) closed_at = now;
    return now;
}
inline time_t frozen_time() { return note_close(5000); }
inline time_t running_time() {
    static time_t now = 5000;
    return note_close(++now);
}

// Registered before link_terminate, so it runs after it: how long the pause lasted.
inline void report_pause() {
    if (closed_at < 0)
        fputs("[no pause]", stderr);
    else
        fprintf(stderr, "[paused %ld s]", static_cast<long>(serial.clock - closed_at));
}

enum class how { exit_normally, link_fail, internal_error };

struct ending_plan {
    goodbye_level level = AWAIT_GOODBYE;
    const char* message = nullptr;  // link_fail's message, or the default
    failure_pause pause = NO_PAUSE;
    how end = how::exit_normally;
    time_t (*clock)() = frozen_time;
    std::string answer;          // written to the line once our goodbye has arrived
    bool ctrl_c = false;         // a Ctrl+C waits on the console
    bool error_on_line = false;  // a door whose caller gave it the line as standard error too
    bool brace_read = false;     // the codec's last read ended in a `{`
    void (*first_cleanup)() = nullptr;  // registered first, so it runs last (the app's)
};

class Termination : public ::testing::Test {
   protected:
    void SetUp() override {
        line = open_pty(true);
        console = open_pty(true);
        ASSERT_GE(line.slave, 0);
        ASSERT_GE(console.slave, 0);
    }
    void TearDown() override {
        close_pty(line);
        close_pty(console);
    }

    ending run(const ending_plan& plan) {
        if (plan.ctrl_c) {
            EXPECT_EQ(write(console.master, "\x03", 1), 1);
            EXPECT_TRUE(settle(console.slave, 1));
        }
        int err_pipe[2];
        if (pipe(err_pipe) != 0) return {};
        set_nonblocking(err_pipe[0]);
        set_nonblocking(line.master);
        ending result;
        bool answered = false;
        int status = run_child(
            [&] {
                // Standard output goes nowhere: what the end says must be on standard error,
                // a pipe here, so its lines end in LF alone.
                int nowhere = open("/dev/null", O_WRONLY);
                dup2(plan.error_on_line ? line.slave : console.slave, 0);
                dup2(nowhere, 1);
                dup2(plan.error_on_line ? line.slave : err_pipe[1], 2);
                end_the_run(plan);
            },
            [&](pid_t) {
                drain_into(err_pipe[0], result.err);
                drain_into(line.master, result.line);
                if (!answered && !plan.answer.empty() &&
                    result.line.find(termination_sequence) != std::string::npos)
                    answered = write(line.master, plan.answer.data(), plan.answer.size()) > 0;
            });
        close(err_pipe[0]);
        close(err_pipe[1]);
        result.code = exit_code(status);
        EXPECT_TRUE(std::filesystem::is_empty(locks.root)) << "the lock file outlived the run";
        // A marker written after the child has gone ends what it wrote to the line.
        EXPECT_TRUE(read_to_marker(line, result.line));
        return result;
    }

    // In the child: the port open, the clean-ups registered as the program does, then the end.
    [[noreturn]] void end_the_run(const ending_plan& plan) {
        reset_up_to_link();
        final_exit = exit;  // a real end: this process is the test's own child
        process.exit_status = outstanding;
        serial.carrier_mode = 0;
        port_lock_files.directory = locks.root.c_str();
        if (plan.error_on_line) {
            // Door mode: the caller's line on standard input, output and error alike.
            dup2(line.slave, 1);
            if (port_open(nullptr, 0, 'H') == PORT_OPEN_FAILED) _exit(99);
        } else {
            if (port_open(line.path.c_str(), 0, 'H') == PORT_OPEN_FAILED) _exit(99);
            if (std::filesystem::is_empty(locks.root)) _exit(98);  // the port is locked while open
        }
        time_source = plan.clock;
        clock_update();
        codec.pending_brace = plan.brace_read;
        if (plan.first_cleanup != nullptr) on_end_of_run(plan.first_cleanup);
        on_end_of_run(port_unlock);
        on_end_of_run(report_pause);
        on_end_of_run(link_terminate);
        if (plan.end == how::link_fail) link_fail(plan.message, plan.level, plan.pause);
        termination.termination_level = plan.level;
        if (plan.end == how::internal_error) internal_error_exit(5);
        end_run(process.exit_status);
    }

    pty_pair line, console;
    scratch_dir locks;  // every end of the run must leave it empty again
};
