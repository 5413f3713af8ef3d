// The figures of the status area: how far each direction's bytes have crossed, looked at
// every cycle, and everything the status area shows, refreshed once a second.
//
// Interface summary:
//   watch_line ()          every service cycle: how far each direction's bytes have crossed
//   refresh_statistics () -> true when a clock second began: rates, the figures of both
//                          directions and of the link pushed to the display; also in a
//                          cycle in which a current file changed (then false)
//   compressed_crossing (download, file_bytes, stream_bytes)   while both ends compress:
//                          the file bytes of a direction that crossed and the compressed
//                          bytes that held them, counted the same way at both ends (at
//                          points where the two meet: the sender's flushes, a frame's end)
#pragma once

#include <cstdint>

void watch_line();
bool refresh_statistics();
void compressed_crossing(bool download, int64_t* file_bytes, int64_t* stream_bytes);
