// Whole-file digests: 64-bit XXH3 over a file's bytes, taken a bounded amount at a time so a
// large file never holds up the service cycle.
//
// Interface summary:
//   digest_start (d)                 an empty digest
//   digest_add (d, bytes, n)         n more bytes
//   digest_value (d) -> the digest of the bytes so far
//   digest_file (d, fd, until, budget) -> 1 once the file's bytes up to `until` are in (read
//                                    with pread from d->done on), 0 when more is to come,
//                                    -1 when the file ends before `until` or cannot be read
//                                    (errno set; 0 for a short file)
#pragma once

#define XXH_STATIC_LINKING_ONLY  // the state lives in our structs, not on the heap
#include <xxhash.h>

#include <cstddef>
#include <cstdint>

constexpr int DIGEST_BYTES = 8;
constexpr int DIGEST_CHUNK = 64 * 1024;  // read at a time

struct file_digest {
    XXH3_state_t state{};
    int64_t done = 0;  // bytes in it
};

void digest_start(file_digest* d);
void digest_add(file_digest* d, const uint8_t* bytes, size_t n);
uint64_t digest_value(const file_digest* d);
int digest_file(file_digest* d, int fd, int64_t until, int64_t budget);
