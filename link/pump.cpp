#include "link/pump.h"

#include "link/codec.h"
#include "link/relink.h"
#include "link/supervise.h"
#include "serial/port.h"

void link_pump() {
    clock_update();
    link_receive();
    if (peer_said_goodbye()) return;            // nothing more goes out: the session ends the run
    if (relink_check() != RELINK_NONE) return;  // the session takes the link back to the handshake
    supervise();
    link_transmit();
}

bool peer_said_goodbye() { return codec.peer_goodbye != 0; }
