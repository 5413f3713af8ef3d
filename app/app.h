// Program entry, command line, start-up order and the orderly exit path.
//
// Interface summary:
//   kestro_main (argc, argv)      parses, starts, runs; never returns
//   parse_command_line (argc, argv)  fills `settings`; exits 1 (missing argument),
//                                 30 (bad value, unknown option) or 0 (-e above 600)
//   print_title ()                the title line on standard output
//   console_message (text)        text and a newline on standard output, device mode only
//   internal_error_exit (number)  fatal internal error 1, 2, 3 or 5; never returns
//   exit_handler ()               registered first, runs last: closes transfer files and log
//   hangup_handler (signal)       one-shot SIGHUP handler, clears no_hangup_flag
//   install_hangup_handler ()     installs it; a second hang-up takes the default action
#pragma once

[[noreturn]] void kestro_main(int argc, char** argv);
void parse_command_line(int argc, char** argv);
void open_transfer_log();
void print_title();
void console_message(const char* text);
[[noreturn]] void internal_error_exit(int number);
void exit_handler();
void hangup_handler(int signal_number);
void install_hangup_handler();
