// One libFuzzer target; FUZZ_ENTRY names the harness entry point it drives.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    atexit(fuzz_teardown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (const char* fault = FUZZ_ENTRY(data, size)) {
        fprintf(stderr, "\nkestro fault: %s\n", fault);
        abort();
    }
    return 0;
}
