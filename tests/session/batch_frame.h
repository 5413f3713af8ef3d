// The batch frame as a test's peer makes and takes it: parts of the stream put in pieces of at
// most 1000 bytes, each part flushed at its end, and the frame decompressed as it comes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "session/zframe.h"

// The compressed bytes of the parts in turn (the frame opened at the top level when none is);
// the line is said to wait for the compressor before each part of `steps`.
inline std::string batch_stream(zframe_out& z, const std::vector<std::string>& parts,
                                const std::vector<size_t>& steps = {}) {
    if (!z.open) {
        EXPECT_EQ(zout_open_batch(&z, ZOUT_LEVEL_MAX), 0);
    }
    std::string out;
    auto take = [&] {
        const uint8_t* bytes = nullptr;
        int n = zout_pending(&z, &bytes);
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
        zout_taken(&z, n);
    };
    for (size_t p = 0; p < parts.size(); ++p) {
        if (std::find(steps.begin(), steps.end(), p) != steps.end()) zout_step_down(&z);
        take();
        const std::string& data = parts[p];
        for (size_t at = 0, n = 0; at == 0 || at < data.size(); at += n) {
            n = std::min<size_t>({data.size() - at, 1000, static_cast<size_t>(zout_room(&z))});
            zout_put(&z, reinterpret_cast<const uint8_t*>(data.data()) + at, static_cast<int>(n),
                     at + n == data.size(), true);
            take();
            if (data.empty()) break;
        }
    }
    return out;
}

// What the frame holds, taken `piece` bytes at a time by a decoder kept between calls (begun
// when it is not open).
inline std::string unbatch(zframe_in& z, const std::string& compressed, size_t piece = 1024) {
    if (!z.open) {
        EXPECT_EQ(zin_begin(&z, ZIN_BATCH), 0);
    }
    std::string made;
    uint8_t buffer[700];
    const auto* in = reinterpret_cast<const uint8_t*>(compressed.data());
    for (size_t at = 0, used = 0, n = 0; at < compressed.size() || n == sizeof buffer; at += used) {
        EXPECT_EQ(zin_take(&z, in + at, std::min(piece, compressed.size() - at), buffer,
                           sizeof buffer, &used, &n),
                  ZIN_MORE);
        made.append(reinterpret_cast<const char*>(buffer), n);
    }
    return made;
}
