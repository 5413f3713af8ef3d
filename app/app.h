// Program entry, the command line, the start-up order and the main loop.
//
// Interface summary:
//   kestro_main (argc, argv)      parses, starts, runs main_loop; never returns
//   parse_command_line (argc, argv)  writes each setting into the state of the subsystem
//                                 that reads it; ends the run with 1 (missing argument),
//                                 30 (bad value, unknown option) or 0 (-e above 600)
//   title_text                    the title line a missing option argument prints
//   main_loop ()                  opening block, then per turn: one result, the names not
//                                 sent, one service cycle, one key; never returns
//   register_cleanups ()          every clean-up of the run, in the order of the end
//   exit_handler ()               registered first, runs last: closes transfer files and log,
//                                 reports the run (summary, or --progress's last line),
//                                 then prints a fatal internal error
//   hangup_handler (signal)       SIGHUP: clears no_hangup_flag; a stop signal, except the
//                                 first one with -t (that one is the carrier's loss)
//   install_hangup_handler ()     installs it for the whole run (a SIGHUP ignored at the
//                                 start stays ignored, unless -t asks for it)
//   stop_handler (signal)         SIGTERM, SIGINT, SIGQUIT: notes the signal in stop_signal and
//                                 stop_count; the link ends the run at its next check
//   install_stop_handlers ()      installs it for the three (SIGINT and SIGQUIT stay ignored
//                                 when they came so); SIGPIPE and SIGXFSZ ignored
//   suspend_handler (signal)      SIGTSTP: sets suspend_requested
//   install_suspend_handler ()    device mode: installs it, unless SIGTSTP was ignored at the
//                                 start
//   follow_suspend ()             every pass of the main loop: after SIGTSTP or Ctrl+Z, the
//                                 peer told (`{z`), the terminal the shell's, the process
//                                 stopped; once continued, terminal and screen set up again
//                                 and the link resumed (`{}`)
//   check_display ()              device mode: ends the run with 20 and the reason when the
//                                 terminal cannot run the display
#pragma once

[[noreturn]] void kestro_main(int argc, char** argv);
void parse_command_line(int argc, char** argv);
extern const char* const title_text;
[[noreturn]] void main_loop();
void register_cleanups();
void exit_handler();
void hangup_handler(int signal_number);
void install_hangup_handler();
void stop_handler(int signal_number);
void install_stop_handlers();
void suspend_handler(int signal_number);
void install_suspend_handler();
void follow_suspend();
void check_display();
