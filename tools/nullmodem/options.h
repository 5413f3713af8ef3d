// Command line of the cable, installed as kestro-nullmodem.
//
// Interface summary:
//   parse_options (argc, argv, opts, error)  true when the line is sound; else error says why
//                                             in one line
//   usage_text ()                             the --help text
//   tool_name                                 the name it calls itself by
#pragma once

#include <string>
#include <vector>

#include "line.h"

enum { END_A, END_B };
enum { DIR_AB, DIR_BA };  // A->B carries what end A writes

struct end_options {
    std::vector<std::string> command;  // empty: nobody is started on this end
    bool door = false;                 // the line on standard input and output
    std::string stderr_path;           // empty: the tool's own standard error
};

struct options {
    line_config line[2];  // per direction
    uint64_t seed = 1;
    end_options end[2];
    bool print_paths = false;
    double duration_s = 0;    // 0: no limit
    double stall_at_s = 0;    // --stall: the cable carries nothing in either direction
    double stall_s = 0;       // for stall_s seconds from stall_at_s after its start
    std::string report_path;  // empty: standard error
    bool help = false;
    bool version = false;
};

constexpr const char* tool_name = "kestro-nullmodem";
constexpr const char* tool_version = "1.0";

bool parse_options(int argc, char** argv, options& opts, std::string& error);
const char* usage_text();
