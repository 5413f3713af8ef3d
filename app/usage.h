// Help and version: the two long options a newcomer tries first, answered before
// anything of the run happens (no name looked up, no file or port opened).
//
// Interface summary:
//   answer_info_option (argc, argv) → exit code 0 after printing the usage text
//                                  ("--help") or the name and version ("--version") on
//                                  standard output; -1 when no word is either of them
//   option_reason (word, reason)  "kestro: <word>: <reason>" on standard error whatever it
//                                  is (the run ends before the line is used); the word with
//                                  its control characters shown as '?'
//   print_help_hint ()             "Try 'kestro --help'." on standard error, standard
//                                  output flushed first so the hint comes last
#pragma once

int answer_info_option(int argc, char** argv);
void option_reason(const char* word, const char* reason);
void print_help_hint();
