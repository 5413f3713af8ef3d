// The figures of the status area: how far each direction's bytes have crossed, looked at
// every cycle, and everything the status area shows, refreshed once a second.
//
// Interface summary:
//   watch_line ()          every service cycle: how far each direction's bytes have crossed
//   refresh_statistics () -> true when a clock second began: rates, the figures of both
//                          directions and of the link pushed to the display
#pragma once

void watch_line();
bool refresh_statistics();
