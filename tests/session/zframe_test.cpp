// File data as zstd frames: what goes in comes out, and a frame that says otherwise fails.
#include "session/zframe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "batch_frame.h"

namespace {

// Words of a small vocabulary in random order, which shrink as source text does; or noise.
std::vector<uint8_t> sample(size_t n, bool text) {
    static const char* const words[] = {"int ", "return ", "static ", "const ",  "char* ", "void ",
                                        "(",    ");\n",    "if ",     "size_t ", "{\n",    "}\n",
                                        "0",    "1",       "= ",      "struct "};
    std::vector<uint8_t> bytes;
    std::mt19937 rng(static_cast<unsigned>(n));
    while (bytes.size() < n) {
        if (!text) {
            bytes.push_back(static_cast<uint8_t>(rng()));
            continue;
        }
        for (const char* w = words[rng() % 16]; *w != 0 && bytes.size() < n; ++w)
            bytes.push_back(static_cast<uint8_t>(*w));
    }
    return bytes;
}

// The frame of `data`, taken from the compressor in pieces of `piece` bytes; the line is said
// to wait for the compressor before the feed that starts at `step_at` bytes.
std::vector<uint8_t> squeeze(zframe_out& z, const std::vector<uint8_t>& data, int level, int piece,
                             size_t step_at = SIZE_MAX) {
    EXPECT_EQ(zout_begin(&z, static_cast<int64_t>(data.size()), level), 0);
    std::vector<uint8_t> frame;
    size_t fed = 0;
    while (!zout_done(&z)) {
        if (int want = zout_wants(&z); want > 0) {
            if (fed == step_at) zout_step_down(&z);
            zout_feed(&z, data.data() + fed, want);
            fed += static_cast<size_t>(want);
        }
        const uint8_t* bytes = nullptr;
        int n = std::min(zout_pending(&z, &bytes), piece);
        frame.insert(frame.end(), bytes, bytes + n);
        zout_taken(&z, n);
    }
    return frame;
}

// Decompresses `stream` in pieces; the bytes made, the result, and where the frame ended.
struct unpacked {
    std::vector<uint8_t> bytes;
    zin_result result = ZIN_MORE;
    size_t end = 0;
};

unpacked unsqueeze(zframe_in& z, const std::vector<uint8_t>& stream, int64_t length, size_t piece) {
    unpacked u;
    EXPECT_EQ(zin_begin(&z, length), 0);
    uint8_t out[1000];
    size_t at = 0;
    while (u.result == ZIN_MORE && at < stream.size()) {
        size_t used = 0, made = 0;
        size_t n = std::min(piece, stream.size() - at);
        u.result = zin_take(&z, stream.data() + at, n, out, sizeof out, &used, &made);
        u.bytes.insert(u.bytes.end(), out, out + made);
        at += used;
    }
    u.end = at;
    return u;
}

class ZFrame : public ::testing::Test {
   protected:
    zframe_out out;
    zframe_in in;
    void TearDown() override { zframe_free(&out, &in); }
};

TEST_F(ZFrame, WhatGoesInComesOutAndTheFrameEndsWhereItEnds) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{16384}, size_t{16385}, size_t{100000}}) {
        for (bool text : {true, false}) {
            std::vector<uint8_t> data = sample(n, text);
            std::vector<uint8_t> frame = squeeze(out, data, 19, 700);
            if (n > 16384) {
                if (text)
                    EXPECT_LT(frame.size() * 4, n) << n;
                else
                    EXPECT_LT(frame.size(), n + n / 100) << n;  // noise costs under 1%
            }
            std::vector<uint8_t> stream = frame;
            const std::string after = "what follows";
            stream.insert(stream.end(), after.begin(), after.end());
            unpacked u = unsqueeze(in, stream, static_cast<int64_t>(n), 333);
            EXPECT_EQ(u.result, ZIN_END) << n;
            EXPECT_EQ(u.bytes, data) << n;
            EXPECT_EQ(u.end, frame.size()) << n;  // the rest is left for what follows
        }
    }
}

TEST_F(ZFrame, AFrameOfAnotherLengthOrTooLargeAWindowFails) {
    std::vector<uint8_t> data = sample(5000, true);
    std::vector<uint8_t> frame = squeeze(out, data, 3, 1 << 20);
    EXPECT_EQ(unsqueeze(in, frame, 4999, 100).result, ZIN_FAILED);
    EXPECT_EQ(unsqueeze(in, frame, 5001, 100).result, ZIN_FAILED);
    std::vector<uint8_t> noise = sample(300, false);
    EXPECT_EQ(unsqueeze(in, noise, 300, 100).result, ZIN_FAILED);
    // A peer may not make us keep more than a 1 MiB window.
    std::vector<uint8_t> big(3 << 20, 'x');
    std::vector<uint8_t> wide(ZSTD_compressBound(big.size()));
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 23);
    size_t n = ZSTD_compress2(cctx, wide.data(), wide.size(), big.data(), big.size());
    ZSTD_freeCCtx(cctx);
    wide.resize(n);
    EXPECT_EQ(unsqueeze(in, wide, static_cast<int64_t>(big.size()), 4096).result, ZIN_FAILED);
}

TEST_F(ZFrame, FlushPointsTellTheFileBytesTheCompressedOnesHold) {
    std::vector<uint8_t> data = sample(40000, true);
    zout_reset(&out, 1000, 5000);  // the run's earlier bytes: counts go on from there
    std::vector<uint8_t> frame = squeeze(out, data, 19, 1 << 20);
    ASSERT_GE(out.mark_count, 3);
    EXPECT_EQ(zout_file_at(&out, 1000), 5000);
    EXPECT_EQ(zout_file_at(&out, out.marks[0].stream), 5000 + ZOUT_FLUSH_EVERY);
    EXPECT_EQ(zout_file_at(&out, 1000 + static_cast<int64_t>(frame.size())), 45000);
    squeeze(out, data, 19, 1 << 20);  // a second frame follows on
    EXPECT_EQ(out.fed, 85000);
}

TEST_F(ZFrame, AStepDownGoesOnInStoredBlocksAndLowersTheFramesAfterIt) {
    std::vector<uint8_t> data = sample(100000, true);
    std::vector<uint8_t> whole = squeeze(out, data, ZOUT_LEVEL_MAX, 512);
    EXPECT_EQ(zout_level(&out, 0), ZOUT_LEVEL_MAX);  // an unknown rate starts at the top
    std::vector<uint8_t> stepped = squeeze(out, data, ZOUT_LEVEL_MAX, 512, ZOUT_FLUSH_EVERY);
    EXPECT_GT(stepped.size(), data.size() - ZOUT_FLUSH_EVERY);  // the rest stored
    EXPECT_EQ(unsqueeze(in, stepped, 100000, 777).bytes, data);
    EXPECT_EQ(zout_level(&out, 0), 12);
    EXPECT_EQ(zout_level(&out, 9600 / 10), 12);        // never above the steps taken
    EXPECT_EQ(zout_level(&out, 10 * 1000 * 1000), 1);  // a fast line's own level
    // Stepped down to the bottom, a frame goes stored after its first flush and still decodes.
    for (int level : {12, 6, 3, 1, 0}) squeeze(out, data, level, 512, ZOUT_FLUSH_EVERY);
    EXPECT_EQ(zout_level(&out, 0), 0);
    std::vector<uint8_t> bottom = squeeze(out, data, 0, 512);
    EXPECT_EQ(unsqueeze(in, bottom, 100000, 100).bytes, data);
    // Before its first flush a frame does not step: the line may be waiting for its start.
    zframe_out fresh;
    squeeze(fresh, data, ZOUT_LEVEL_MAX, 512, 0);
    EXPECT_EQ(zout_level(&fresh, 0), ZOUT_LEVEL_MAX);
    zframe_free(&fresh, nullptr);
}

TEST_F(ZFrame, TheBatchFrameRefersToEarlierFilesAndStepsDownAtAFrameEnd) {
    std::vector<std::string> files;
    std::string all;
    for (size_t n : {3000, 0, 2500, 40000, 1, 2800, 3100}) {
        std::vector<uint8_t> bytes = sample(n, true);
        files.emplace_back(bytes.begin(), bytes.end());
        all += files.back();
    }
    zframe_out batch, twice, stepped;
    EXPECT_EQ(unbatch(in, batch_stream(batch, files), 300), all);
    // A file sent a second time costs next to nothing: it is in the window.
    size_t one = squeeze(out, sample(3000, true), ZOUT_LEVEL_MAX, 1 << 20).size();
    EXPECT_LT(batch_stream(twice, {files[0], files[0]}).size(), one + one / 5);
    // Steps down end a frame and open the next lower, to stored at the bottom: all decodes.
    zin_reset(&in);
    std::string s2 = batch_stream(stepped, files, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(stepped.stored && zout_level(&stepped, 0) == 0);
    EXPECT_EQ(unbatch(in, s2, 333), all);
    // An abort resets it: the next batch frame starts with nothing before it.
    zout_reset(&stepped, 0, 0);
    zin_reset(&in);
    EXPECT_EQ(unbatch(in, batch_stream(stepped, {files[3]}), 1000), files[3]);
    for (zframe_out* z : {&batch, &twice, &stepped}) zframe_free(z, nullptr);
}

}  // namespace
