// What the command line chose for the link. It outlives every reset of the link: the
// handshake starts from it, and the profile letter and the byte flags take what both ends
// agreed on later.
//
// Interface summary (the command line's setters and set_char_flags):
//   link_choose_device (path)     device mode on that device; never called: door mode
//   link_choose_speed (rate)      --speed: the device set to a rate (0 keeps the line's own)
//   link_use_xon_xoff ()          -H: XON/XOFF flow control, both bytes escaped either way
//   link_use_no_flow ()           -h: no flow control at all
//   link_use_base85 ()            -C: printable base-85 groups both ways
//   link_echo_off ()              the peer's banner not shown (door mode)
//   link_on_user_terminal ()      door mode on the terminal a person types in: Ctrl+C ends
//                                 the handshake until the peer is heard
//   link_offer_widening ()        our handshake block says we escape for lines that damage
//                                 bytes (MODE_WIDEN, link/widen.h); not with --plain
//   link_escape_byte (b)          --escape: b escaped both ways, as -H does XON and XOFF; -1
//                                 (nothing set) for `{`, `Z`, `\`, `]`
//   set_char_flags (b, bits)      adds bits to char_flags[b]; -1 (nothing set) for `Z`, `\`,
//                                 `]`, whose escapes would read as control sequences
#pragma once

#include <cstdint>

#include "serial/port.h"

struct link_setup_state {
    const char* device_path = nullptr;  // none: door mode, the line is standard input/output
    int32_t port_speed = 0;             // --speed: the device's rate; 0 keeps its own
    char flow_letter = FLOW_HARDWARE;   // a flow_control, handed to the port open
    int initial_link_mode = 0;          // MODE_* bits offered in the handshake
    int handshake_echo = 1;             // show the text of the peer's banner
    int user_terminal = 0;              // door mode on a person's terminal: Ctrl+C cancels
    char profile_letter = 'H';          // -v, then the one both ends agreed on
    // CF_* bits of each byte value: the command line's, to which the handshake adds the
    // peer's needs and `{`.
    uint8_t char_flags[256] = {};
    // The first handshake's starting point, for every later one (link_rehandshake).
    uint8_t own_char_flags[256] = {};  // char_flags as the command line left them
    uint8_t identification = 0;        // of our handshake block
};

extern link_setup_state link_setup;

void link_choose_device(const char* path);
void link_choose_speed(int32_t rate);
void link_use_xon_xoff();
void link_use_no_flow();
void link_use_base85();
void link_echo_off();
void link_on_user_terminal();
void link_offer_widening();
int link_escape_byte(uint8_t byte);
int set_char_flags(uint8_t byte, uint8_t bits);
