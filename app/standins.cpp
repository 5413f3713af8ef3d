// Temporary stand-ins so that the program runs end to end while the subsystems
// they stand for are being built. Each one is deleted when the real one lands.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/app.h"
#include "app/settings.h"
#include "files/entries.h"
#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "session/cycle.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "ui/keys.h"
#include "ui/screen.h"
