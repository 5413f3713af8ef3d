#include "link/pump.h"

#include "link/codec.h"
#include "link/supervise.h"
#include "serial/port.h"

void link_pump() {
    clock_update();
    link_receive();
    supervise();
    link_transmit();
}
