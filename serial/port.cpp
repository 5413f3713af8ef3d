#include "serial/port.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "serial/lock.h"
#include "serial/process.h"
#include "serial/telnet.h"

serial_state serial;
volatile sig_atomic_t no_hangup_flag = 1;
volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t stop_count = 0;
volatile sig_atomic_t suspend_requested = 0;

time_t system_time_source() { return time(nullptr); }
time_t (*time_source)() = system_time_source;

int64_t system_ms_source() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}
int64_t (*ms_source)() = system_ms_source;

namespace {

struct standard_rate {
    int32_t rate;
    speed_t code;
};
constexpr standard_rate standard_rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

constexpr const char not_a_terminal[] = "not a terminal device";

// The errors of a line whose other side has hung up or closed: it will never work again.
bool line_hung_up(int error) {
    return error == EIO || error == EPIPE || error == ENXIO || error == ECONNRESET;
}

// The descriptor the line is read from: standard input in door mode, else the device.
int line_read_fd() { return serial.line_in_fd >= 0 ? serial.line_in_fd : serial.line_fd; }

// A door's line is whatever the caller handed over: a read that fails for any reason but
// "nothing yet" (EBADF too: a descriptor not open for reading) will never bring a byte.
bool read_failed_for_good(int error) {
    if (serial.door_mode) return error != EAGAIN && error != EWOULDBLOCK && error != EINTR;
    return line_hung_up(error);
}

// Ends a failed open: says why, and leaves the device as it was and free.
int refuse(int fd, const char* path, const char* reason) {
    snprintf(serial.open_error, sizeof serial.open_error, "kestro: %s: %s\n", path, reason);
    if (fd >= 0) {
        if (serial.line_exclusive) ioctl(fd, TIOCNXCL);
        close(fd);
    }
    serial.line_exclusive = false;
    port_unlock();
    return PORT_OPEN_FAILED;
}

// 'H' (the default) RTS/CTS; 'S' XON/XOFF instead (the link escapes both bytes then);
// 'N' neither, for a cable without CTS. 'H' leaves the input flags as they are.
void apply_flow(termios& attrs, char flow_letter) {
    if (flow_letter == FLOW_XON_XOFF || flow_letter == FLOW_NONE) {
        attrs.c_cflag &= ~CRTSCTS;
        attrs.c_iflag &= ~(IXON | IXOFF);
        if (flow_letter == FLOW_XON_XOFF) attrs.c_iflag |= IXON | IXOFF;
    } else if (flow_letter != 0) {
        attrs.c_cflag |= CRTSCTS;
    }
}

// Opens, takes and sets up the device; the console is not touched yet. Returns the
// descriptor, or PORT_OPEN_FAILED with serial.open_error set.
int open_device(const char* path, int32_t speed, char flow_letter) {
    struct stat info {};
    if (stat(path, &info) != 0) return refuse(-1, path, strerror(errno));
    // Opening some other kinds of file has side effects (a FIFO blocks, a file is written).
    if (!S_ISCHR(info.st_mode)) return refuse(-1, path, not_a_terminal);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return refuse(-1, path, strerror(errno));
    if (!isatty(fd)) return refuse(fd, path, not_a_terminal);
    char why[PATH_MAX + 64];
    if (port_lock(path, fd, why, sizeof why) != 0) return refuse(fd, path, why);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(fd, path, "in use by another program");
    serial.line_exclusive = ioctl(fd, TIOCEXCL) == 0;

    tcgetattr(fd, &serial.line_attrs);
    serial.saved_line_attrs = serial.line_attrs;
    serial.line_attrs.c_iflag = 0;
    serial.line_attrs.c_oflag = 0;
    serial.line_attrs.c_lflag = 0;
    serial.line_attrs.c_cc[VMIN] = 1;
    serial.line_attrs.c_cc[VTIME] = 0;
    // The receiver on; with -c the modem lines are ignored, as on a three-wire cable.
    serial.line_attrs.c_cflag |= CREAD;
    if (serial.carrier_mode == CARRIER_IGNORED) serial.line_attrs.c_cflag |= CLOCAL;
    speed_t code = speed_code(speed);
    if (code != 0) cfsetspeed(&serial.line_attrs, code);
    apply_flow(serial.line_attrs, flow_letter);
    tcsetattr(fd, TCSANOW, &serial.line_attrs);
    // tcsetattr succeeds when any one change took: only reading back tells the speed.
    termios applied{};
    if (code != 0 && (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != code ||
                      cfgetispeed(&applied) != code)) {
        tcsetattr(fd, TCSANOW, &serial.saved_line_attrs);
        snprintf(why, sizeof why, "speed %d not taken by the device", static_cast<int>(speed));
        return refuse(fd, path, why);
    }
    // Bytes left on the cable by an earlier session (its goodbye, say) must not end ours.
    tcflush(fd, TCIFLUSH);
    return fd;
}

// --fd's descriptor must be open for reading and writing before a byte goes out.
bool usable_descriptor(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    const char* why = nullptr;
    if (flags == -1)
        why = "not open";
    else if ((flags & O_ACCMODE) != O_RDWR)
        why = "not open for both reading and writing";
    if (why == nullptr) return true;
    char subject[32];
    snprintf(subject, sizeof subject, "descriptor %d", fd);
    snprintf(serial.open_error, sizeof serial.open_error, "kestro: %s: %s\n", subject, why);
    return false;
}

bool wire_pending() { return serial.wire_start < serial.wire_end; }

// Writes what the telnet filter left, its answers first added at the end. True when all of
// it went; false with errno saying why not (EAGAIN: the line takes nothing now).
bool flush_wire() {
    if (serial.wire_start > 0) {
        memmove(serial.wire, serial.wire + serial.wire_start, serial.wire_end - serial.wire_start);
        serial.wire_end -= serial.wire_start;
        serial.wire_start = 0;
    }
    serial.wire_end += telnet_take_answers(serial.wire + serial.wire_end,
                                           static_cast<int>(sizeof serial.wire) - serial.wire_end);
    while (wire_pending()) {
        ssize_t n = write(serial.line_fd, serial.wire + serial.wire_start,
                          serial.wire_end - serial.wire_start);
        if (n <= 0) {
            if (n < 0 && line_hung_up(errno)) serial.line_gone = true;
            if (n == 0) errno = EAGAIN;
            return false;
        }
        serial.wire_start += static_cast<int>(n);
    }
    serial.wire_start = serial.wire_end = 0;
    return true;
}

// Our bytes through the telnet filter: taken once they are encoded, written when the line
// takes them. -1 (EAGAIN) while an earlier encoding is still waiting.
int telnet_write(const uint8_t* bytes, int count) {
    if (!flush_wire()) return -1;
    int used = 0;
    serial.wire_end = telnet_output(bytes, count, serial.wire, sizeof serial.wire, &used);
    flush_wire();
    return used;
}

// Once the client refused binary mode the link's 8-bit frames cannot pass: said once.
void note_binary_refused() {
    if (serial.telnet_warned || !telnet_binary_refused()) return;
    serial.telnet_warned = true;
    console_error(
        "kestro: the telnet client refuses binary mode: CR goes as CR NUL and 8-bit data "
        "will not pass; start both ends with -C\n");
}

// One read of the line as it comes, without waiting.
int raw_read(uint8_t* buffer, int maximum) {
    int n = maximum;
    const int fd = line_read_fd();
    // A non-blocking line is read at once, not after FIONREAD: one system call, not two.
    if (!serial.line_nonblocking) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) < 0) {
            if (serial.door_mode && errno == EBADF) serial.line_gone = true;
            return 0;
        }
        if (waiting <= 0) return 0;
        if (waiting < n) n = waiting;
    }
    ssize_t got = read(fd, buffer, n);
    if (got == 0 || (got < 0 && read_failed_for_good(errno))) serial.line_gone = true;
    if (got > 0) serial.bytes_read += got;
    return got < 0 ? 0 : static_cast<int>(got);
}

}  // namespace

bool door_line_is_user_terminal() {
    if (process.device_mode || process.door_line_fd >= 0) return false;
    termios attrs{};
    struct stat in {
    }, err{};
    if (!isatty(0) || tcgetattr(0, &attrs) != 0) return false;
    // A line handed over by a calling system is never one a person types lines into, with
    // their echo, as the foreground job of the terminal that is also where errors go.
    if ((attrs.c_lflag & (ICANON | ECHO)) != (ICANON | ECHO)) return false;
    if (tcgetsid(0) != getsid(0) || tcgetpgrp(0) != getpgrp()) return false;
    if (fstat(0, &in) != 0 || fstat(2, &err) != 0 || !isatty(2)) return false;
    return S_ISCHR(in.st_mode) && S_ISCHR(err.st_mode) && in.st_rdev == err.st_rdev;
}

int64_t port_line_rate() {
    constexpr unsigned pty_major_first = 136;  // /dev/pts/N: majors 136 to 143
    constexpr unsigned pty_major_last = 143;
    struct stat info {};
    if (!serial.is_open || fstat(serial.line_fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    if (major(info.st_rdev) >= pty_major_first && major(info.st_rdev) <= pty_major_last) return 0;
    speed_t code = cfgetospeed(&serial.line_attrs);
    const tcflag_t flags = serial.line_attrs.c_cflag;
    int data_bits = (flags & CSIZE) == CS5   ? 5
                    : (flags & CSIZE) == CS6 ? 6
                    : (flags & CSIZE) == CS7 ? 7
                                             : 8;
    // A start bit, the data, a parity bit and one or two stop bits.
    int bits = 1 + data_bits + ((flags & PARENB) ? 1 : 0) + ((flags & CSTOPB) ? 2 : 1);
    for (const standard_rate& r : standard_rates)
        if (r.code == code) return r.rate / bits;
    return 0;
}

speed_t speed_code(int32_t rate) {
    for (const standard_rate& r : standard_rates)
        if (r.rate == rate) return r.code;
    return 0;
}

int port_open(const char* device_path, int32_t speed, char flow_letter) {
    serial.open_error[0] = '\0';
    if (device_path != nullptr) {
        int fd = open_device(device_path, speed, flow_letter);
        if (fd == PORT_OPEN_FAILED) return PORT_OPEN_FAILED;
        serial.line_fd = fd;
        serial.line_in_fd = -1;
        serial.door_mode = false;

        serial.console_fd = 0;
        serial.console_terminal = isatty(serial.console_fd) != 0;
        tcgetattr(serial.console_fd, &serial.saved_console_attrs);
        serial.console_attrs = termios{};
        // Raw in every respect but the control word: a zero control word means speed 0
        // and no receiver, which hangs up a console that is itself a serial terminal.
        serial.console_attrs.c_cflag = serial.saved_console_attrs.c_cflag;
        cfsetispeed(&serial.console_attrs, cfgetispeed(&serial.saved_console_attrs));
        cfsetospeed(&serial.console_attrs, cfgetospeed(&serial.saved_console_attrs));
        if (flow_letter != 0) serial.console_attrs.c_cflag |= CRTSCTS;
        tcsetattr(serial.console_fd, TCSANOW, &serial.console_attrs);
    } else {
        // The calling system's line, read from standard input and written to standard
        // output: one terminal or socket on both, or two pipes; or the one descriptor of
        // --fd. Its speed is its own.
        const int handed = process.door_line_fd;
        if (handed >= 0 && !usable_descriptor(handed)) return PORT_OPEN_FAILED;
        serial.door_mode = true;
        serial.line_fd = handed >= 0 ? handed : 1;
        serial.line_in_fd = handed >= 0 ? -1 : 0;
        const int in = line_read_fd();
        tcgetattr(in, &serial.line_attrs);
        serial.saved_line_attrs = serial.line_attrs;
        cfmakeraw(&serial.line_attrs);
        apply_flow(serial.line_attrs, flow_letter);
        serial.console_fd = -1;
        tcsetattr(in, TCSANOW, &serial.line_attrs);
    }
    // Writes never block the single thread: what the line does not take stays pending
    // in the codec, and wait_for_input wakes when the line can take more.
    // Both flags are saved first: the two descriptors may share one open file.
    serial.saved_line_flags = fcntl(serial.line_fd, F_GETFL);
    if (serial.line_in_fd >= 0) serial.saved_in_flags = fcntl(serial.line_in_fd, F_GETFL);
    bool nonblocking = serial.saved_line_flags != -1 &&
                       fcntl(serial.line_fd, F_SETFL, serial.saved_line_flags | O_NONBLOCK) == 0;
    if (serial.line_in_fd >= 0)
        nonblocking = serial.saved_in_flags != -1 &&
                      fcntl(serial.line_in_fd, F_SETFL, serial.saved_in_flags | O_NONBLOCK) == 0;
    serial.line_nonblocking = nonblocking;
    serial.carrier_unknown = false;
    serial.line_gone = false;
    serial.is_open = true;
    process.raw_console = !serial.door_mode;
    serial.wire_start = serial.wire_end = 0;
    if (serial.telnet_wanted) {
        telnet_start();
        flush_wire();
    }
    return static_cast<int>(cfgetospeed(&serial.line_attrs));
}

void port_close() {
    if (!serial.is_open) return;
    constexpr int telnet_drain_s = 2;  // the filter's last bytes (the goodbye) before closing
    if (telnet.active) port_write_all(nullptr, 0, telnet_drain_s);
    // In door mode the descriptors are shared with the calling system: leave them as we
    // found them.
    if (serial.saved_line_flags != -1) fcntl(serial.line_fd, F_SETFL, serial.saved_line_flags);
    if (serial.line_in_fd >= 0 && serial.saved_in_flags != -1)
        fcntl(serial.line_in_fd, F_SETFL, serial.saved_in_flags);
    tcsetattr(line_read_fd(), TCSANOW, &serial.saved_line_attrs);
    if (!serial.door_mode) tcsetattr(serial.console_fd, TCSANOW, &serial.saved_console_attrs);
    if (serial.line_exclusive) ioctl(serial.line_fd, TIOCNXCL);  // free for the next program
    serial.line_exclusive = false;
    // Standard input stays open in door mode: it tells whether standard error is the line.
    close(serial.line_fd);
    port_unlock();
    serial.line_nonblocking = false;
    if (!serial.door_mode) close(serial.console_fd);
    serial.is_open = false;
    process.raw_console = false;
}

int port_read(uint8_t* buffer, int maximum) {
    if (!telnet.active) return raw_read(buffer, maximum);
    // A read that held only telnet commands is no reason to report "nothing": read on.
    int got = 0;
    while ((got = raw_read(buffer, maximum)) > 0) {
        const int kept = telnet_input(buffer, got);
        if (telnet.answer_count > 0) flush_wire();
        note_binary_refused();
        if (kept > 0) return kept;
    }
    return 0;
}

int port_write(const uint8_t* bytes, int count) {
    if (telnet.active) {
        const int taken = telnet_write(bytes, count);
        if (taken > 0) serial.bytes_written += taken;
        return taken;
    }
    ssize_t n = write(serial.line_fd, bytes, count);
    if (n < 0 && line_hung_up(errno)) serial.line_gone = true;
    if (n > 0) serial.bytes_written += n;
    return static_cast<int>(n);
}

void port_drop_output() {
    tcflush(serial.line_fd, TCOFLUSH);
    serial.wire_start = serial.wire_end = 0;
}

int port_write_all(const uint8_t* bytes, int count, int seconds) {
    int done = 0;
    time_t start = time_source();
    // Under telnet the filter's last bytes must leave too before the caller moves on.
    while (done < count || wire_pending()) {
        if (done < count) {
            int n = port_write(bytes + done, count - done);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        } else if (flush_wire()) {
            continue;
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
        // A second stop signal: the user will not wait for this line any longer.
        if (time_source() - start >= seconds || stop_count > 1) break;
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
    if (mode == CARRIER_IGNORED) return 1;
    if (mode == CARRIER_AFTER_HANGUP) return no_hangup_flag ? 1 : 0;
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

bool console_watched() {
    return !serial.door_mode && serial.console_fd >= 0 && !serial.console_ended;
}

// No key will come any more. A terminal that ends so was closed under us (a hang-up, the
// window shut): nobody is left to watch the run.
void console_at_end() {
    serial.console_ended = true;
    if (serial.console_terminal) serial.console_lost = true;
}

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
        console_at_end();
        return 0;
    }
    return 1;
}

int read_console_key() {
    if (!console_watched()) return -1;
    uint8_t key = 0;
    ssize_t n = read(serial.console_fd, &key, 1);
    if (n == 0 || (n < 0 && errno == EIO)) console_at_end();
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
    // A dead line is readable for ever: watching it would turn every wait into a spin.
    bool want_write = serial.want_write;
    if (serial.line_fd >= 0 && !serial.line_gone) {
        const int in = line_read_fd();
        FD_SET(in, &readable);
        if (telnet.active && !flush_wire()) want_write = true;
        if (want_write) FD_SET(serial.line_fd, &writable);
        if (in > top) top = in;
        if (serial.line_fd > top) top = serial.line_fd;
    }
    timeval wait{0, WAIT_FOR_INPUT_US};
    select(top + 1, &readable, want_write ? &writable : nullptr, nullptr, &wait);
}

void console_drain() { tcdrain(serial.door_mode ? serial.line_fd : 0); }

void console_restore() {
    if (serial.is_open && !serial.door_mode)
        tcsetattr(serial.console_fd, TCSANOW, &serial.saved_console_attrs);
}

void console_make_raw() {
    if (serial.is_open && !serial.door_mode)
        tcsetattr(serial.console_fd, TCSANOW, &serial.console_attrs);
}

void clock_update() {
    serial.clock = time_source();
    serial.clock_ms = ms_source();
}

void set_carrier_mode(int mode) { serial.carrier_mode = mode; }

void port_want_write(bool on) { serial.want_write = on; }
void port_use_telnet() { serial.telnet_wanted = true; }
