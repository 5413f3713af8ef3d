#include "serial/port.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

serial_state serial;
volatile sig_atomic_t no_hangup_flag = 1;

time_t system_time_source() { return time(nullptr); }
time_t (*time_source)() = system_time_source;

int port_open(const char* device_path, int32_t /*speed: the line keeps its own*/,
              char flow_letter) {
    if (device_path != nullptr) {
        int fd = open(device_path, O_RDWR);
        if (fd < 0) return PORT_OPEN_FAILED;
        serial.line_fd = fd;
        serial.door_mode = false;
        tcgetattr(fd, &serial.line_attrs);
        serial.saved_line_attrs = serial.line_attrs;
        serial.line_attrs.c_iflag = 0;
        serial.line_attrs.c_oflag = 0;
        serial.line_attrs.c_lflag = 0;
        serial.line_attrs.c_cc[VMIN] = 1;
        serial.line_attrs.c_cc[VTIME] = 0;

        serial.console_fd = 0;
        tcgetattr(serial.console_fd, &serial.saved_console_attrs);
        serial.console_attrs = termios{};
        // Raw in every respect but the control word: a zero control word means speed 0
        // and no receiver, which hangs up a console that is itself a serial terminal.
        serial.console_attrs.c_cflag = serial.saved_console_attrs.c_cflag;
        cfsetispeed(&serial.console_attrs, cfgetispeed(&serial.saved_console_attrs));
        cfsetospeed(&serial.console_attrs, cfgetospeed(&serial.saved_console_attrs));
    } else {
        serial.door_mode = true;
        tcgetattr(0, &serial.line_attrs);
        serial.saved_line_attrs = serial.line_attrs;
        cfmakeraw(&serial.line_attrs);
        serial.line_fd = 1;
        serial.console_fd = -1;
    }
    if (flow_letter != 0) {
        serial.line_attrs.c_cflag |= CRTSCTS;
        serial.console_attrs.c_cflag |= CRTSCTS;
    }
    tcsetattr(serial.line_fd, TCSANOW, &serial.line_attrs);
    if (!serial.door_mode) tcsetattr(serial.console_fd, TCSANOW, &serial.console_attrs);
    // Writes never block the single thread: what the line does not take stays pending
    // in the codec, and wait_for_input wakes when the line can take more.
    serial.saved_line_flags = fcntl(serial.line_fd, F_GETFL);
    serial.line_nonblocking = serial.saved_line_flags != -1 &&
                              fcntl(serial.line_fd, F_SETFL, serial.saved_line_flags | O_NONBLOCK) == 0;
    serial.carrier_unknown = false;
    serial.is_open = true;
    return static_cast<int>(cfgetospeed(&serial.line_attrs));
}

void port_close() {
    if (!serial.is_open) return;
    // In door mode the descriptor is shared with the calling system: leave it as we found it.
    if (serial.saved_line_flags != -1) fcntl(serial.line_fd, F_SETFL, serial.saved_line_flags);
    tcsetattr(serial.line_fd, TCSANOW, &serial.saved_line_attrs);
    if (!serial.door_mode) tcsetattr(serial.console_fd, TCSANOW, &serial.saved_console_attrs);
    close(serial.line_fd);
    serial.line_nonblocking = false;
    if (!serial.door_mode) close(serial.console_fd);
    serial.is_open = false;
}

int port_read(uint8_t* buffer, int maximum) {
    int n = maximum;
    // A non-blocking line is read at once, not after FIONREAD: one system call, not two.
    if (!serial.line_nonblocking) {
        int waiting = 0;
        if (ioctl(serial.line_fd, FIONREAD, &waiting) < 0 || waiting <= 0) return 0;
        if (waiting < n) n = waiting;
    }
    ssize_t got = read(serial.line_fd, buffer, n);
    return got < 0 ? 0 : static_cast<int>(got);
}

int port_write(const uint8_t* bytes, int count) {
    return static_cast<int>(write(serial.line_fd, bytes, count));
}

int port_write_all(const uint8_t* bytes, int count, int seconds) {
    int done = 0;
    time_t start = time_source();
    while (done < count) {
        int n = port_write(bytes + done, count - done);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (time_source() - start >= seconds) break;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(serial.line_fd, &writable);
        timeval wait{0, WAIT_FOR_INPUT_US};
        select(serial.line_fd + 1, nullptr, &writable, nullptr, &wait);
    }
    return done;
}

int carrier_present() {
    int mode = serial.carrier_mode;
    if (mode == 0) return 1;
    if (mode == 2) return no_hangup_flag ? 1 : 0;
    int bits = 0;
    // A line that cannot report carrier (a pseudo-terminal, a three-wire cable) has it;
    // it never will, so it is not asked again at every pump.
    if (serial.carrier_unknown) return 1;
    if (ioctl(serial.line_fd, TIOCMGET, &bits) < 0) {
        serial.carrier_unknown = errno == ENOTTY || errno == EINVAL;
        return 1;
    }
    return (bits & TIOCM_CAR) ? 1 : 0;
}

namespace {

bool console_watched() { return !serial.door_mode && serial.console_fd >= 0 && !serial.console_ended; }

}  // namespace

int key_waiting() {
    if (!console_watched()) return 0;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(serial.console_fd, &readable);
    timeval none{0, 0};
    if (select(serial.console_fd + 1, &readable, nullptr, nullptr, &none) <= 0) return 0;
    // Readable with nothing to read: end of file (a closed pipe, /dev/null, a hung-up
    // terminal). Reported as a key it would skip every cycle's work for ever.
    int waiting = 0;
    if (ioctl(serial.console_fd, FIONREAD, &waiting) < 0 || waiting <= 0) {
        serial.console_ended = true;
        return 0;
    }
    return 1;
}

int read_console_key() {
    if (!console_watched()) return -1;
    uint8_t key = 0;
    ssize_t n = read(serial.console_fd, &key, 1);
    if (n == 0) serial.console_ended = true;
    return n == 1 ? key : -1;
}

void wait_for_input() {
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    int top = 0;
    if (console_watched()) {
        FD_SET(serial.console_fd, &readable);
        top = serial.console_fd;
    }
    if (serial.line_fd >= 0) {
        FD_SET(serial.line_fd, &readable);
        if (serial.want_write) FD_SET(serial.line_fd, &writable);
        if (serial.line_fd > top) top = serial.line_fd;
    }
    timeval wait{0, WAIT_FOR_INPUT_US};
    select(top + 1, &readable, serial.want_write ? &writable : nullptr, nullptr, &wait);
}

void console_drain() { tcdrain(serial.door_mode ? 1 : 0); }

void clock_update() { serial.clock = time_source(); }
