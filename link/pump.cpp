#include "link/pump.h"

#include "link/codec.h"
#include "link/supervise.h"
#include "serial/port.h"

void link_pump() {
    clock_update();
    link_receive();
    if (peer_said_goodbye()) return;  // nothing more goes out: the session ends the run
    supervise();
    link_transmit();
}

bool peer_said_goodbye() { return codec.peer_goodbye != 0; }
