// What the command line chose for the link. It outlives every reset of the link: the
// handshake starts from it, and the profile letter is the one both ends agreed on later.
//
// Interface summary (the command line's setters; none fails):
//   link_choose_device (path)     device mode on that device; never called: door mode
//   link_choose_speed (rate)      --speed: the device set to a rate (0 keeps the line's own)
//   link_use_xon_xoff ()          -H: XON/XOFF flow control, both bytes escaped either way
//   link_use_no_flow ()           -h: no flow control at all
//   link_use_base85 ()            -C: printable base-85 groups both ways
//   link_echo_off ()              the peer's handshake bytes not echoed (door mode)
#pragma once

#include <cstdint>

#include "serial/port.h"

struct link_setup_state {
    const char* device_path = nullptr;  // none: door mode, the line is standard input/output
    int32_t port_speed = 0;             // --speed: the device's rate; 0 keeps its own
    char flow_letter = FLOW_HARDWARE;   // a flow_control, handed to the port open
    int initial_link_mode = 0;          // MODE_* bits offered in the handshake
    int handshake_echo = 1;             // echo the peer's handshake bytes
    char profile_letter = 'H';          // -v, then the one both ends agreed on
};

extern link_setup_state link_setup;

void link_choose_device(const char* path);
void link_choose_speed(int32_t rate);
void link_use_xon_xoff();
void link_use_no_flow();
void link_use_base85();
void link_echo_off();
