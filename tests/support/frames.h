// Frames as the peer writes them: a frame factory for the link's tests instead of hex bytes.
#pragma once

#include <cstdint>
#include <string>

#include "link/channels.h"

// One item of a frame (before its trailer): kind, sequence bit (0 or 1) and channel in its
// first byte, then the payload, which only a data item has. Items of one frame are joined
// with +; with_trailer or the delivery tests' peer_sends close the frame.
inline std::string make_rx_frame(int channel, int seq_bit, uint8_t kind,
                                 const std::string& payload = "") {
    uint8_t first =
        static_cast<uint8_t>(kind | (seq_bit != 0 ? SEQUENCE_BIT : 0) | (channel & CHANNEL_MASK));
    return std::string(1, static_cast<char>(first)) + payload;
}
