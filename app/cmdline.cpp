#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app/usage.h"
#include "files/lists.h"
#include "files/tree.h"
#include "link/delivery.h"
#include "link/setup.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/outcome.h"
#include "session/stats.h"
#include "session/transfer.h"
#include "ui/screen.h"

namespace {

constexpr long max_auto_exit_s = 600;
constexpr long min_line_speed = 50;
constexpr long max_line_speed = 115200;

constexpr char speed_option[] = "--speed";

bool takes_argument(char letter) { return strchr("Eepsvz", letter) != nullptr; }

// Numbers as strtol reads them: leading blanks and a sign, junk after them ignored.
long number(const char* word) { return strtol(word, nullptr, 10); }

// A number of seconds must be the whole word: "-E abc" read as 0 would end the run at once.
bool whole_number(const char* word, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtol(word, &end, 10);
    return end != word && *end == '\0' && errno == 0;
}

// In door mode standard output is the caller's line: what the console would show goes to
// standard error instead.
void option_error_text(const char* text) {
    if (process.device_mode) {
        fputs(text, stdout);
        fflush(stdout);
    } else {
        console_error(text);
    }
}

// `rest`: the word from the unknown letter on; a word of its own ("--spede") whole.
[[noreturn]] void unknown_option(const char* rest) {
    char text[512];
    snprintf(text, sizeof text, "Unknown option: \n%.400s\n\n\n", rest);
    option_error_text(text);
    char word[64] = {'-', rest[0], '\0'};
    if (rest[0] == '-') snprintf(word, sizeof word, "%.60s", rest);
    option_reason(word, "unknown option");
    print_help_hint();
    end_run(EXIT_BAD_OPTION);
}

[[noreturn]] void missing_argument(const char* option) {
    option_error_text(title_text);
    // The code is the one "downloads outstanding" has too: a caller may read it either way.
    option_reason(option, "needs an argument (exit code 1, as for downloads outstanding)");
    print_help_hint();
    end_run(EXIT_MISSING_ARGUMENT);
}

[[noreturn]] void bad_value(char letter, const char* argument, const char* expected) {
    char subject[64];
    snprintf(subject, sizeof subject, "-%c %.40s", letter, argument);
    option_reason(subject, expected);
    end_run(EXIT_BAD_OPTION);
}

// Whether the command line names a device, read before anything else so that a message
// about an earlier word already knows whether standard error may be the line.
bool names_a_device(int argc, char** argv) {
    for (int next = 1; next < argc; ++next) {
        const char* word = argv[next];
        if (word[0] != '-' || word[1] == '-') continue;
        for (const char* letter = word + 1; *letter != '\0'; ++letter) {
            if (*letter == 'p') return true;
            if (takes_argument(*letter)) ++next;
        }
    }
    return false;
}

// --speed N or --speed=N: the rate the device is set to. False for any other word.
bool take_speed_option(const char* word, int argc, char** argv, int* next, int32_t* speed) {
    size_t length = sizeof speed_option - 1;
    if (strncmp(word, speed_option, length) != 0 || (word[length] != '\0' && word[length] != '='))
        return false;
    const char* argument = word + length + 1;
    if (word[length] == '\0') {
        if (*next >= argc) missing_argument(speed_option);
        argument = argv[(*next)++];
    }
    char* end = nullptr;
    long rate = strtol(argument, &end, 10);
    if (end == argument || *end != '\0' || rate <= 0 || rate > INT32_MAX ||
        speed_code(static_cast<int32_t>(rate)) == 0) {
        char subject[64];
        snprintf(subject, sizeof subject, "%s %.40s", speed_option, argument);
        option_reason(subject, "not a standard rate (50, 75, 110, ... 9600, 19200, ... 4000000)");
        end_run(EXIT_BAD_OPTION);
    }
    *speed = static_cast<int32_t>(rate);
    return true;
}

// --NAME VALUE or --NAME=VALUE: the value, or none when the word is another option.
const char* long_argument(const char* word, const char* name, int argc, char** argv, int* next) {
    const size_t length = strlen(name);
    if (strncmp(word, name, length) != 0) return nullptr;
    if (word[length] == '=') return word + length + 1;
    if (word[length] != '\0') return nullptr;
    if (*next >= argc) missing_argument(name);
    return argv[(*next)++];
}

[[noreturn]] void bad_long_value(const char* name, const char* argument, const char* why) {
    char subject[96];
    snprintf(subject, sizeof subject, "%s %.60s", name, argument);
    console_reason(subject, why);
    end_run(EXIT_BAD_OPTION);
}

// The bytes the presets name: what a telnet client or server and an ssh client touch.
constexpr uint8_t telnet_escapes[] = {0x0D, 0x11, 0x13, 0x1D, 0xFF};  // CR, XON, XOFF, ^], IAC
constexpr uint8_t ssh_escapes[] = {0x0D, 0x0A, '~'};  // newline then `~` is ssh's escape

void escape_one(const char* list, uint8_t byte) {
    if (link_escape_byte(byte) == 0) return;
    char why[128];
    snprintf(why, sizeof why,
             byte == '{' ? "0x%02X `%c` is escaped whenever anything is; it cannot be listed"
                         : "0x%02X `%c` cannot be escaped: its escape would read as a control "
                           "sequence",
             byte, byte);
    bad_long_value("--escape", list, why);
}

// --escape LIST: byte values, hex (0x1D) or decimal, and the presets telnet and ssh,
// separated by commas.
void take_escape_list(const char* list) {
    std::string items(list);
    size_t start = 0;
    do {
        size_t comma = items.find(',', start);
        std::string item = items.substr(start, comma == std::string::npos ? comma : comma - start);
        start = comma == std::string::npos ? comma : comma + 1;
        if (item == "telnet") {
            for (uint8_t b : telnet_escapes) escape_one(list, b);
            continue;
        }
        if (item == "ssh") {
            for (uint8_t b : ssh_escapes) escape_one(list, b);
            continue;
        }
        const bool hex = item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X');
        const char* digits = item.c_str() + (hex ? 2 : 0);
        char* end = nullptr;
        errno = 0;
        long value = isxdigit(static_cast<unsigned char>(*digits))
                         ? strtol(digits, &end, hex ? 16 : 10)
                         : -1;
        if (end == nullptr || *end != '\0' || errno != 0 || value < 0 || value > 255)
            bad_long_value(
                "--escape", list,
                "byte values 0..255 (hex as 0x1D), or telnet or ssh, separated by commas");
        escape_one(list, static_cast<uint8_t>(value));
    } while (start != std::string::npos);
}

// --fd N and DOOR32.SYS's handle: a descriptor number, whether it is open is seen later.
bool descriptor_number(const char* text, int* fd) {
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    while (end != nullptr && end != text && isspace(static_cast<unsigned char>(*end))) ++end;
    if (end == text || *end != '\0' || errno != 0 || n < 0 || n > INT32_MAX) return false;
    *fd = static_cast<int>(n);
    return true;
}

[[noreturn]] void door32_error(const char* path, int line, const char* why) {
    char subject[PATH_MAX + 32];
    snprintf(subject, sizeof subject, "%s line %d", path, line);
    console_reason(subject, why);
    end_run(EXIT_BAD_OPTION);
}

// A DOOR32.SYS drop file: line 1 the comm type (0 local, 1 serial, 2 telnet), line 2 the
// handle, line 3 the speed; the rest (names, time left) is for the calling system.
void take_door32(const char* path) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        console_reason(path, strerror(errno));
        end_run(EXIT_BAD_OPTION);
    }
    constexpr int lines_read = 3;
    char lines[lines_read][64] = {};
    int got = 0;
    while (got < lines_read && fgets(lines[got], sizeof lines[got], file) != nullptr) {
        lines[got][strcspn(lines[got], "\r\n")] = '\0';
        ++got;
    }
    fclose(file);
    int comm_type = -1;
    if (got < 1 || !descriptor_number(lines[0], &comm_type)) door32_error(path, 1, "no comm type");
    if (comm_type == 0) door32_error(path, 1, "local session, no line");
    if (comm_type > 2) door32_error(path, 1, "comm type not 0, 1 or 2");
    int fd = -1;
    if (got < 2 || !descriptor_number(lines[1], &fd)) door32_error(path, 2, "no descriptor number");
    set_door_line(fd);
    // The speed only goes into the log: one it cannot hold there is logged as 0.
    long speed = got < 3 ? 0 : number(lines[2]);
    set_line_speed(speed >= min_line_speed && speed <= max_line_speed ? static_cast<int32_t>(speed)
                                                                      : 0);
}

// The options for lines other than a serial device. False for any other word.
bool take_line_option(const char* word, int argc, char** argv, int* next) {
    if (strcmp(word, "--plain") == 0) {
        // Nothing announced: the opening block is all zero, as a peer that knows no more sends.
        set_session_option(&session_options::announce, 0);
        return true;
    }
    if (strcmp(word, "--telnet") == 0) {
        port_use_telnet();
        return true;
    }
    const char* argument = nullptr;
    if ((argument = long_argument(word, "--escape", argc, argv, next)) != nullptr) {
        take_escape_list(argument);
        return true;
    }
    if ((argument = long_argument(word, "--fd", argc, argv, next)) != nullptr) {
        int fd = -1;
        if (!descriptor_number(argument, &fd))
            bad_long_value("--fd", argument, "not a descriptor number");
        set_door_line(fd);
        return true;
    }
    if ((argument = long_argument(word, "--door32", argc, argv, next)) != nullptr) {
        take_door32(argument);
        return true;
    }
    return false;
}

void apply_option(char letter, const char* argument, const char* rest) {
    switch (letter) {
    case 'C': link_use_base85(); break;
    case 'D': break;
    case 'E': {
        long n = 0;
        if (!whole_number(argument, &n) || static_cast<unsigned long>(n) > max_auto_exit_s)
            bad_value(letter, argument, "seconds from 0 to 600");
        set_idle_exit(static_cast<int32_t>(n));
        break;
    }
    case 'F': break;
    case 'H': link_use_xon_xoff(); break;
    case 'R': set_session_option(&session_options::rename_existing, 1); break;
    case 'U': set_name_mode(NAMES_TO_REQUEST); break;
    case 'X': set_session_option(&session_options::log_refusals, 1); break;
    case 'c': set_carrier_mode(CARRIER_IGNORED); break;
    case 'd': set_name_mode(NAMES_TO_STORE); break;
    case 'e': {
        long n = 0;
        if (!whole_number(argument, &n)) bad_value(letter, argument, "seconds from 0 to 600");
        set_chat_exit(static_cast<int32_t>(n));
        // An -e above the limit ends the run quietly, and as a success.
        if (static_cast<unsigned long>(n) > max_auto_exit_s) end_run(EXIT_BY_USER);
        break;
    }
    case 'h': link_use_no_flow(); break;
    case 'j': set_session_option(&session_options::accept_uploads, 0); break;
    case 'k': forbid_wildcards(); break;
    case 'o': set_session_option(&session_options::overwrite_existing, 1); break;
    case 'p':
        link_choose_device(argument);
        set_device_mode(true);
        break;
    case 'q': set_beeper_off(); break;
    case 'r': set_session_option(&session_options::serve_requests, 1); break;
    case 's': {
        long n = number(argument);
        if (n < min_line_speed || n > max_line_speed)
            bad_value(letter, argument, "a line speed from 50 to 115200");
        set_line_speed(static_cast<int32_t>(n));
        break;
    }
    case 't': set_carrier_mode(CARRIER_AFTER_HANGUP); break;
    case 'u': set_name_mode(NAMES_TO_SEND); break;
    case 'v':
        if (set_profile(static_cast<char>(toupper(static_cast<unsigned char>(argument[0])))) != 0)
            bad_value(letter, argument, "a profile letter: T, S, C, M, L or H");
        announce_profile();
        break;
    case 'w': set_session_option(&session_options::resume_check, 0); break;
    case 'x': set_session_option(&session_options::delete_partial, 1); break;
    case 'y': set_session_option(&session_options::delete_sent, 1); break;
    case 'z': set_log_path(argument); break;
    default: unknown_option(rest);
    }
}

}  // namespace

void parse_command_line(int argc, char** argv) {
    set_device_mode(names_a_device(argc, argv));
    int32_t port_speed = 0;  // --speed
    int next = 1;
    while (next < argc) {
        const char* word = argv[next++];
        if (strcmp(word, "--progress") == 0) {
            want_progress();
            continue;
        }
        if (strcmp(word, "--no-compress") == 0) {
            set_session_option(&session_options::compress, 0);
            continue;
        }
        if (strcmp(word, "--recursive") == 0) {
            if (next >= argc) missing_argument(word);
            serve_trees();
            add_tree(argv[next++]);
            continue;
        }
        if (strcmp(word, "--times") == 0 || strcmp(word, "--no-times") == 0) {
            set_session_option(&session_options::apply_times, word[2] == 't' ? 1 : 0);
            continue;
        }
        if (word[0] != '-') {
            expand_argument(word, add_argument_name);
            continue;
        }
        if (take_speed_option(word, argc, argv, &next, &port_speed)) continue;
        if (take_line_option(word, argc, argv, &next)) continue;
        if (word[1] == '-') unknown_option(word);  // a long option is one word, not letters
        // Letters that need an argument take the following words, in order.
        for (const char* letter = word + 1; *letter != '\0'; ++letter) {
            const char* argument = nullptr;
            if (takes_argument(*letter)) {
                if (next >= argc) {
                    const char option[3] = {'-', *letter, '\0'};
                    missing_argument(option);
                }
                argument = argv[next++];
            }
            apply_option(*letter, argument, letter);
        }
    }
    if (process.device_mode && process.door_line_fd >= 0) {
        console_reason("--fd, --door32", "a door's line: not with -p");
        end_run(EXIT_BAD_OPTION);
    }
    // The log names the speed the device was set to, unless -s says otherwise. A door's
    // line is the calling system's: --speed means nothing there.
    if (!process.device_mode) port_speed = 0;
    link_choose_speed(port_speed);
    if (stats.line_speed == 0) set_line_speed(port_speed);
}
