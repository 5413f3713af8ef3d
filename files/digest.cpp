#include "files/digest.h"

#include <unistd.h>

// On x86 the library picks the widest vector unit the processor has at run time: AVX2 hashes
// twice as fast as the SSE2 every x86-64 build is compiled for.
#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>
#endif

#include <algorithm>
#include <cerrno>

void digest_start(file_digest* d) {
    XXH3_64bits_reset(&d->state);
    d->done = 0;
}

void digest_add(file_digest* d, const uint8_t* bytes, size_t n) {
    XXH3_64bits_update(&d->state, bytes, n);
    d->done += static_cast<int64_t>(n);
}

uint64_t digest_value(const file_digest* d) { return XXH3_64bits_digest(&d->state); }

int digest_file(file_digest* d, int fd, int64_t until, int64_t budget) {
    uint8_t chunk[DIGEST_CHUNK];
    while (d->done < until && budget > 0) {
        size_t want =
            static_cast<size_t>(std::min<int64_t>({until - d->done, budget, DIGEST_CHUNK}));
        ssize_t got = pread(fd, chunk, want, d->done);
        if (got <= 0) {
            if (got == 0) errno = 0;  // the file is shorter than it was
            return -1;
        }
        digest_add(d, chunk, static_cast<size_t>(got));
        budget -= got;
    }
    return d->done >= until ? 1 : 0;
}
