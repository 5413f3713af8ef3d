// The whole program in device mode, its console a pseudo-terminal: the console is
// raw while the program runs and has exactly its old attributes after it ends.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

struct pty_pair {
    int master = -1;
    int slave = -1;
    std::string path;
};

pty_pair open_pty() {
    pty_pair p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return p;
    p.path = ptsname(p.master);
    p.slave = open(p.path.c_str(), O_RDWR | O_NOCTTY);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    return p;
}

bool same_attrs(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

void drain(int master, std::string& into) {
    char buffer[512];
    ssize_t n;
    while ((n = read(master, buffer, sizeof buffer)) > 0) into.append(buffer, static_cast<size_t>(n));
}

// Nobody answers on the line, so the run ends by the silence time-out, which the
// fast clock brings within a few seconds.
TEST(ConsoleAtExit, AttributesRestoredExactlyAfterTheLinkTimesOut) {
    pty_pair line = open_pty();
    pty_pair console = open_pty();
    ASSERT_GE(line.slave, 0);
    ASSERT_GE(console.slave, 0);
    termios before{};
    tcgetattr(console.slave, &before);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    before.c_cc[VINTR] = 3;
    tcsetattr(console.slave, TCSANOW, &before);
    tcgetattr(console.slave, &before);
    termios line_before{};
    tcgetattr(line.slave, &line_before);

    pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(console.slave, TIOCSCTTY, 0);
        dup2(console.slave, 0);
        dup2(console.slave, 1);
        dup2(console.slave, 2);
        setenv("KESTRO_CLOCK_RATE", "20", 1);
        execl(KESTRO_FASTCLOCK_BIN, KESTRO_FASTCLOCK_BIN, "-p", line.path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }

    std::string screen, wire;
    bool saw_raw = false;
    int status = 0;
    bool ended = false;
    // Generous safety limit; the run itself takes about three seconds.
    for (int turn = 0; turn < 120000 && !ended; ++turn) {
        termios now{};
        if (tcgetattr(console.slave, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0)
            saw_raw = true;
        drain(console.master, screen);
        drain(line.master, wire);
        ended = waitpid(child, &status, WNOHANG) == child;
        if (!ended) poll(nullptr, 0, 1);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    drain(console.master, screen);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(saw_raw);
    EXPECT_NE(screen.find("\r\nZARN data link time-out.\r\n"), std::string::npos) << screen;

    termios after{};
    ASSERT_EQ(tcgetattr(console.slave, &after), 0);
    EXPECT_TRUE(same_attrs(after, before));
    termios line_after{};
    ASSERT_EQ(tcgetattr(line.slave, &line_after), 0);
    EXPECT_TRUE(same_attrs(line_after, line_before));

    for (int fd : {line.slave, line.master, console.slave, console.master}) close(fd);
}

}  // namespace
