// Serial line, console keyboard and the one-second clock.
//
// Interface summary:
//   port_open (device, speed, flow)  0xFFFF when the device cannot be opened, locked or set
//                                    up (serial.open_error says why); speed 0 keeps the
//                                    line's own, door mode never changes it
//   port_close ()                    restores saved attributes, closes line and console,
//                                    frees the port for the next program
//   port_read (buffer, max)          bytes read now (never waits), 0 when none or on error;
//                                    end of file or a hang-up marks serial.line_gone (in door
//                                    mode any read error but EAGAIN and EINTR)
//   port_write (bytes, count)        result of one write(): bytes taken, or -1 (the line
//                                    never blocks: -1 with EAGAIN when it takes nothing now)
//   port_write_all (bytes, count, s) keeps writing up to s seconds (less once a second stop
//                                    signal came); bytes taken in all
//   port_drop_output ()              discards what we wrote that the line has not sent yet
//   speed_code (rate)                the termios code of a standard rate, 0 for any other
//   port_line_rate ()                bytes per second the open line's settings name (its
//                                    output speed over the bits of a character); 0 for none,
//                                    and for a pseudo-terminal, whose speed is only a word
//   carrier_present ()               1/0 by serial.carrier_mode; 1 when the line cannot report it
//   key_waiting ()                   1 when a console key can be read now (device mode);
//                                    a console at end of file is marked ended and gives 0
//                                    (and lost, when it was a terminal at the start)
//   read_console_key ()              one byte from the console, -1 when none
//   wait_for_input ()                up to 10 ms for the line (unless gone) or the console
//                                    (unless ended)
//   console_drain ()                 tcdrain of the console (door mode: the line)
//   console_restore ()               device mode: the console's own settings back, as at the
//                                    end (while the process is stopped)
//   console_make_raw ()              device mode: the console raw again, as port_open left it
//   clock_update ()                  serial.clock := time_source(), serial.clock_ms := ms_source()
//   set_carrier_mode (mode)          a carrier_watch: -c, -t
//   port_want_write (on)             the link has output pending: wait_for_input wakes
//                                    when the line takes more
//   port_use_telnet ()               --telnet: the line speaks telnet (serial/telnet.h); the
//                                    port's reads and writes pass through that filter
//   door_line_is_user_terminal ()    door mode on standard input and output, and they are
//                                    the terminal a person types in: canonical with echo,
//                                    the controlling terminal, our job in the foreground,
//                                    standard error the same terminal
//
// In door mode the line is standard input and output, or the descriptor of --fd
// (process.door_line_fd): a terminal or a socket, read and written, never the console.
#pragma once

#include <termios.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>

constexpr int PORT_OPEN_FAILED = 0xFFFF;

// What tells that the line is lost (serial.carrier_mode).
enum carrier_watch : int {
    CARRIER_IGNORED = 0,       // -c: never lost
    CARRIER_DCD = 1,           // the modem status line DCD
    CARRIER_AFTER_HANGUP = 2,  // -t: lost once a SIGHUP came
};

// Flow control of the line (the flow letter handed to port_open).
enum flow_control : char {
    FLOW_HARDWARE = 'H',  // RTS/CTS
    FLOW_XON_XOFF = 'S',  // XON/XOFF: the link escapes both bytes
    FLOW_NONE = 'N',      // neither, for a cable without CTS
};
constexpr int WAIT_FOR_INPUT_US = 10000;  // the system's only pause

struct serial_state {
    int line_fd = -1;               // the device, or 1 in door mode: what we write to the line
    int line_in_fd = -1;            // what we read from it when that differs: 0 in door mode
    int console_fd = -1;            // 0 in device mode, -1 in door mode
    bool console_ended = false;     // the console reached end of file: no key will ever come
    bool console_terminal = false;  // the console was a terminal when the port opened
    bool console_lost = false;    // that terminal then read end of file or failed: the user is gone
    bool is_open = false;         // port_open succeeded and port_close has not run yet
    bool line_gone = false;       // end of file or a hang-up: nobody will ever answer on it
    bool line_exclusive = false;  // we set TIOCEXCL: cleared again when the port closes
    char open_error[PATH_MAX + 128] = "";  // "kestro: <path>: <reason>\n" of a failed open
    bool door_mode = false;                // no device: the line is standard input and output
    int saved_line_flags = 0;       // file status flags of the line before we made it non-blocking
    int saved_in_flags = -1;        // the same for line_in_fd
    bool line_nonblocking = false;  // port_open made the line non-blocking: reads need no FIONREAD
    bool carrier_unknown =
        false;                   // the line refused the modem status request once: never ask again
    termios saved_line_attrs{};  // as the line was before port_open, restored at the end
    termios saved_console_attrs{};   // the same for the console
    termios line_attrs{};            // the line as we run it
    termios console_attrs{};         // the raw console as we run it
    bool want_write = false;         // the codec has output pending: wake when the line takes more
    int carrier_mode = CARRIER_DCD;  // a carrier_watch
    time_t clock = 0;                // whole seconds, advanced only by clock_update
    int64_t clock_ms = 0;            // monotonic milliseconds, read with it: rates divide by these
    // --telnet: what the filter made of our bytes (0xFF doubled, its answers), not yet
    // taken by the line; the codec's bytes are counted as taken once they are in here.
    bool telnet_wanted = false;
    bool telnet_warned = false;  // the client's refusal of binary mode was reported
    uint8_t wire[1024] = {};     // twice a codec chunk and the answers
    int wire_start = 0;
    int wire_end = 0;
    int64_t bytes_read = 0;  // what the line carried in, and out, over the run
    int64_t bytes_written = 0;
};

extern serial_state serial;

// Written by signal handlers, so they live outside the state struct.
extern volatile sig_atomic_t no_hangup_flag;  // 1 until a SIGHUP came: the carrier with -t
extern volatile sig_atomic_t
    stop_signal;  // the last SIGTERM, SIGINT, SIGQUIT or SIGHUP; 0 before any
extern volatile sig_atomic_t stop_count;         // how many of them came
extern volatile sig_atomic_t suspend_requested;  // SIGTSTP or Ctrl+Z: stop once it is safe

// The time seam: every reading of the clock goes through this function.
extern time_t (*time_source)();
time_t system_time_source();
// The millisecond seam beside it: a monotonic clock, never set back.
extern int64_t (*ms_source)();
int64_t system_ms_source();

int port_open(const char* device_path, int32_t speed, char flow_letter);
void port_close();
int port_read(uint8_t* buffer, int maximum);
int port_write(const uint8_t* bytes, int count);
int port_write_all(const uint8_t* bytes, int count, int seconds);
void port_drop_output();
speed_t speed_code(int32_t rate);
int64_t port_line_rate();
int carrier_present();
int key_waiting();
int read_console_key();
void wait_for_input();
void console_drain();
void console_restore();
void console_make_raw();
void clock_update();
void set_carrier_mode(int mode);
void port_want_write(bool on);
void port_use_telnet();
bool door_line_is_user_terminal();
