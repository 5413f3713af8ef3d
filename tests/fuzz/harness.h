// Entry points that feed peer input to Kestro's decoders, shared by the libFuzzer targets
// and the replay test. Each returns null when the input was handled soundly, or the text
// of the fault it ran into (a broken invariant, a file written where it must not be, a
// peer that made the program die of an internal error).
//
// Interface summary:
//   fuzz_setup ()              once per process: scratch tree, a curses screen on /dev/null
//   fuzz_teardown ()           removes the scratch tree
//   fuzz_line (data, size)     bytes from the line through port_read, link_receive, handle_frame
//   fuzz_frame (data, size)    frames with a good CRC straight into handle_frame
//   fuzz_handshake (data, size)  the handshake's per-byte step, with a well-formed block first
//   fuzz_session (data, size)  bytes into receive channels 0-3, 8-15 and 16-31, the handlers run
//
// Every end of the run (link_fail, internal_error_exit, the session end) passes through
// end_run, whose final exit the test support replaces: it comes back to the harness.
#pragma once

#include <cstddef>
#include <cstdint>

void fuzz_setup();
void fuzz_teardown();
const char* fuzz_line(const uint8_t* data, size_t size);
const char* fuzz_frame(const uint8_t* data, size_t size);
const char* fuzz_handshake(const uint8_t* data, size_t size);
const char* fuzz_session(const uint8_t* data, size_t size);
