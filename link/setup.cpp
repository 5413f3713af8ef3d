#include "link/setup.h"

#include "link/wire.h"

link_setup_state link_setup;

void link_choose_device(const char* path) { link_setup.device_path = path; }

void link_choose_speed(int32_t rate) { link_setup.port_speed = rate; }

void link_use_xon_xoff() {
    link_setup.flow_letter = FLOW_XON_XOFF;
    link_setup.initial_link_mode |= MODE_ESC_OUT | MODE_ESC_IN;
    set_char_flags(XON, CF_ESCAPE | CF_DROP);
    set_char_flags(XOFF, CF_ESCAPE | CF_DROP);
}

int link_escape_byte(uint8_t byte) {
    // `{` is escaped whenever anything is: it cannot be listed, the lists end with it.
    if (byte == BRACE || set_char_flags(byte, CF_ESCAPE | CF_DROP) != 0) return -1;
    link_setup.initial_link_mode |= MODE_ESC_OUT | MODE_ESC_IN;
    return 0;
}

void link_use_no_flow() { link_setup.flow_letter = FLOW_NONE; }

void link_use_base85() { link_setup.initial_link_mode = MODE_B85_OUT | MODE_B85_IN; }

void link_echo_off() { link_setup.handshake_echo = 0; }

void link_on_user_terminal() { link_setup.user_terminal = 1; }
void link_offer_widening() { link_setup.initial_link_mode |= MODE_WIDEN; }

int set_char_flags(uint8_t byte, uint8_t bits) {
    // Escaped, these would read as the control sequences `{z`, `{|` and `{}`.
    const uint8_t travels_as = byte ^ ESCAPE_XOR;
    if (travels_as == INTERRUPT || travels_as == TERMINATE || travels_as == FRAME_END) return -1;
    link_setup.char_flags[byte] |= bits;
    return 0;
}
