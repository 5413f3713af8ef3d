// One child process for the tests that need one: the real program run on its own pipes or
// terminals, or work that must not touch the test's own standard descriptors.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

// Appends whatever can be read from fd now, without waiting.
inline void drain_into(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, static_cast<size_t>(n));
}

inline void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The code of a process that exited, -1 for one ended by a signal or never ended.
inline int exit_code(int status) {
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts `body` in a child process (it ends in exec or _exit). Until the child has ended the
// parent calls `turn (pid)` about every millisecond, and once more after that. Returns the
// wait status; a child still running after the generous safety limit is killed (-1).
template <typename Body, typename Turn>
int run_child(Body body, Turn turn, int limit_s = 120) {
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(127);
    }
    int status = -1;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    for (;;) {
        turn(child);
        if (waitpid(child, &status, WNOHANG) == child) break;
        if (std::chrono::steady_clock::now() > give_up) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            status = -1;
            break;
        }
        poll(nullptr, 0, 1);
    }
    turn(child);
    return status;
}

// The program's binary with the words, standard input from /dev/null, both output streams
// caught whole. `environment` changes the child's: "NAME=value" sets, a bare "NAME" unsets.
struct program_run {
    int code = -1;
    std::string out;
    std::string err;
};

inline program_run run_program(const char* binary, const std::vector<std::string>& words,
                               const std::vector<std::string>& environment = {}) {
    program_run run;
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return run;
    set_nonblocking(out_pipe[0]);
    set_nonblocking(err_pipe[0]);
    int status = run_child(
        [&] {
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
            dup2(out_pipe[1], 1);
            dup2(err_pipe[1], 2);
            umask(0);
            for (const auto& setting : environment) {
                size_t equals = setting.find('=');
                if (equals == std::string::npos)
                    unsetenv(setting.c_str());
                else
                    setenv(setting.substr(0, equals).c_str(), setting.c_str() + equals + 1, 1);
            }
            std::vector<char*> argv{const_cast<char*>(binary)};
            for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
            argv.push_back(nullptr);
            execv(binary, argv.data());
        },
        [&](pid_t) {
            drain_into(out_pipe[0], run.out);
            drain_into(err_pipe[0], run.err);
        });
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    run.code = exit_code(status);
    return run;
}
