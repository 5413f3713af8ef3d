// Command line: cable options first, then optionally "-- CMD_A... -- CMD_B...".
#include "options.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t MAX_BAUD = 1000000000;  // keeps the pacing arithmetic inside 64 bits
constexpr size_t MAX_BUFFER = 1 << 24;

bool to_u64(const char* text, uint64_t& value) {
    if (!*text || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    value = v;
    return true;
}

bool to_double(const char* text, double& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text, &end);
    return !errno && *text && !*end && std::isfinite(value) && value >= 0;
}

// --eat LIST: byte values (0x1D, 29) separated by commas, or "control" for 0x00 to 0x1F and
// 0x7F; false on anything else.
bool parse_eat(const char* value, std::array<bool, 256>& eat) {
    std::string list = value;
    size_t from = 0;
    while (from <= list.size()) {
        size_t comma = list.find(',', from);
        std::string item = list.substr(from, comma == std::string::npos ? comma : comma - from);
        if (item == "control") {
            for (int b = 0; b < 0x20; b++) eat[b] = true;
            eat[0x7F] = true;
        } else {
            errno = 0;
            char* end = nullptr;
            unsigned long v = std::strtoul(item.c_str(), &end, 0);
            if (item.empty() || item[0] == '-' || errno || *end || v > 255) return false;
            eat[v] = true;
        }
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return true;
}

// Applies one per-direction setting to the directions `mask` names (bit 0: A->B).
bool set_line_option(options& opts, const std::string& name, const char* value, unsigned mask,
                     std::string& error) {
    for (int d = 0; d < 2; d++) {
        if (!(mask & (1u << d))) continue;
        line_config& line = opts.line[d];
        uint64_t n = 0;
        double p = 0;
        if (name == "eat") {
            if (!parse_eat(value, line.eat))
                return error = "bad byte list to eat: " + std::string(value), false;
            line.eats = true;
        } else if (name == "baud") {
            if (!to_u64(value, n) || n > MAX_BAUD)
                return error = "bad baud: " + std::string(value), false;
            line.baud = n;
        } else if (name == "buffer") {
            if (!to_u64(value, n) || n == 0 || n > MAX_BUFFER)
                return error = "bad buffer size: " + std::string(value), false;
            line.buffer = n;
        } else if (name == "latency") {
            if (!to_double(value, p) || p > 3600e3)
                return error = "bad latency: " + std::string(value), false;
            line.latency_ns = static_cast<uint64_t>(p * 1e6);
        } else if (name == "burst") {
            if (!to_u64(value, n) || n == 0 || n > 1000000)
                return error = "bad burst length: " + std::string(value), false;
            line.noise.burst = static_cast<unsigned>(n);
        } else {
            if (!to_double(value, p) || p > 1)
                return error = "bad probability: " + std::string(value), false;
            if (name == "corrupt") line.noise.corrupt = p;
            if (name == "drop") line.noise.drop = p;
            if (name == "insert") line.noise.insert = p;
        }
        const noise_config& noise = line.noise;
        if (noise.corrupt + noise.drop + noise.insert > 1)
            return error = "noise probabilities add up to more than 1", false;
    }
    return true;
}

bool is_line_option(const std::string& name) {
    for (const char* known :
         {"eat", "baud", "buffer", "latency", "corrupt", "drop", "insert", "burst"})
        if (name == known) return true;
    return false;
}

}  // namespace

bool parse_options(int argc, char** argv, options& opts, std::string& error) {
    int i = 1;
    for (; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--") {
            i++;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            opts.help = true;
            return true;
        }
        if (arg == "--version") {
            opts.version = true;
            return true;
        }
        if (arg == "--print-paths") {
            opts.print_paths = true;
            continue;
        }
        if (arg == "--door-a") {
            opts.end[END_A].door = true;
            continue;
        }
        if (arg == "--door-b") {
            opts.end[END_B].door = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) return error = "unexpected argument: " + arg, false;
        std::string name = arg.substr(2);
        std::string value;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else {
            if (i + 1 >= argc) return error = "missing value for " + arg, false;
            value = argv[++i];
        }
        unsigned mask = 3;
        std::string base = name;
        if (name.size() > 3 && (name.ends_with("-ab") || name.ends_with("-ba"))) {
            mask = name.ends_with("-ab") ? 1 : 2;
            base = name.substr(0, name.size() - 3);
        }
        if (is_line_option(base)) {
            if (!set_line_option(opts, base, value.c_str(), mask, error)) return false;
        } else if (name == "seed") {
            if (!to_u64(value.c_str(), opts.seed)) return error = "bad seed: " + value, false;
        } else if (name == "duration") {
            if (!to_double(value.c_str(), opts.duration_s))
                return error = "bad duration: " + value, false;
        } else if (name == "stall") {
            size_t colon = value.find(':');
            if (colon == std::string::npos ||
                !to_double(value.substr(0, colon).c_str(), opts.stall_at_s) ||
                !to_double(value.substr(colon + 1).c_str(), opts.stall_s))
                return error = "bad stall (give AT:SECONDS): " + value, false;
        } else if (name == "report") {
            opts.report_path = value;
        } else if (name == "stderr-a") {
            opts.end[END_A].stderr_path = value;
        } else if (name == "stderr-b") {
            opts.end[END_B].stderr_path = value;
        } else {
            return error = "unknown option: " + arg, false;
        }
    }
    // The ends: CMD_A up to the next "--", then CMD_B.
    int e = END_A;
    for (; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0 && e == END_A) {
            e = END_B;
            continue;
        }
        opts.end[e].command.push_back(argv[i]);
    }
    bool has_a = !opts.end[END_A].command.empty();
    bool has_b = !opts.end[END_B].command.empty();
    if (has_a != has_b)
        return error = "give a command for both ends: -- CMD_A... -- CMD_B...", false;
    if (!has_a && !opts.print_paths)
        return error = "nothing to do: give --print-paths or the commands of both ends", false;
    if (!has_a && (opts.end[END_A].door || opts.end[END_B].door))
        return error = "--door-a/--door-b need the commands of the ends", false;
    return true;
}

const char* usage_text() {
    return R"(usage: kestro-nullmodem [options] --print-paths
       kestro-nullmodem [options] -- CMD_A [ARGS...] -- CMD_B [ARGS...]
       kestro-nullmodem --help | --version

A virtual null-modem cable: two pseudo-terminals, end A and end B, whose bytes
are carried to each other at a chosen speed, with optional latency and noise.

With --print-paths the slave paths of end A and end B are printed on standard
output, one per line, and the cable runs until it is killed (SIGINT, SIGTERM)
or --duration ends. With commands, the tool starts both ends, carries bytes
until both have exited, and exits 0 when both exited 0, else 1 (2: the tool
itself failed). In a command, every "{}" is replaced by that end's slave path.

Line options (for both directions, or one with the suffix -ab or -ba,
e.g. --drop-ab 0.01; A->B is what end A writes):
  --baud N          line speed; N/10 bytes per second (default 0: unthrottled)
  --buffer BYTES    transmit queue; a writer is stopped when it is full (4096)
  --latency MS      one-way delay, in milliseconds (may be fractional)
  --corrupt P       per-byte probability that a byte is changed
  --drop P          per-byte probability that a byte is lost
  --insert P        per-byte probability that a random byte is put before it
  --burst N         bytes one noise event lasts (default 1)
  --eat LIST        bytes never carried (counted as dropped): values such as
                    0x1D,17 separated by commas, or "control" (0x00-0x1F, 0x7F)
Other options:
  --seed N          seed of the noise; the same seed gives the same noise (1)
  --door-a, --door-b  run that end with the line as its standard input and
                    standard output (one read-write open on both)
  --stderr-a FILE, --stderr-b FILE  standard error of that end
  --print-paths     print the two slave paths (A, then B)
  --duration S      stop after S seconds; ends still running get SIGTERM
  --stall AT:S      at AT seconds after the start the cable stops carrying in
                    both directions for S seconds (bytes wait, none are lost)
  --report FILE     write the report there instead of standard error
  -h, --help        this text
  --version         the name and version

Report (at the end, and whenever the tool receives SIGUSR1), one line each:
  nullmodem: A->B sent=N delivered=N corrupted=N dropped=N inserted=N
  nullmodem: B->A sent=N delivered=N corrupted=N dropped=N inserted=N
  nullmodem: end A exit=N      (with commands; a signal shows as 128+signal)
  nullmodem: end B exit=N
)";
}
