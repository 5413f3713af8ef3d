// The session's channel plan: which link channel carries what, and the sizes of its rings.
//
// Interface summary:
//   alloc_link_channels ()   allocates every channel of the plan, send and receive rings;
//                            "Out of memory." through link_fail
#pragma once

// Channel numbers; 4 to 7 are not allocated.
constexpr int CH_CONTROL = 0;     // control messages
constexpr int CH_STATUS = 1;      // status letters and resume offsets
constexpr int CH_OFFERS = 2;      // offer records
constexpr int CH_REQUESTS = 3;    // download requests
constexpr int CH_CHAT_FIRST = 8;  // chat messages, one channel after another
constexpr int CH_CHAT_LAST = 15;
constexpr int CH_DATA_FIRST = 16;  // file data in slices, one channel after another
constexpr int CH_DATA_LAST = 31;
constexpr int SLICE_SIZE = 1024;  // file data per data channel before moving to the next

// Ring sizes in bytes. A record (offer, request) is written whole, so its send ring bounds it.
constexpr int CONTROL_RING_SIZE = 256;
constexpr int STATUS_SEND_SIZE = 256;
constexpr int STATUS_RECV_SIZE = 512;
// 512 in the basic plan; 16 more hold the largest extended offer record (a 24-byte header
// instead of 8) with the longest name a basic record takes.
constexpr int OFFER_CHANNEL_SIZE = 528;
constexpr int REQUEST_CHANNEL_SIZE = 512;
constexpr int RECORD_RECV_SIZE = 1024;  // offers and requests from the peer
constexpr int CHAT_SEND_SIZE = 256;
constexpr int CHAT_RECV_SIZE = 514;   // two full send rings, each with its closing zero
constexpr int DATA_RING_SIZE = 2048;  // two slices

void alloc_link_channels();
