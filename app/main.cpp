#include "app/app.h"
#include "app/usage.h"

#ifdef KESTRO_FAST_CLOCK
#include <chrono>
#include <cstdlib>

#include "serial/lock.h"
#include "serial/port.h"

namespace {

// Test build: seconds pass KESTRO_CLOCK_RATE times faster (default 20).
time_t fast_time_source() {
    static const auto origin = std::chrono::steady_clock::now();
    static const time_t base = time(nullptr);
    static const long rate = [] {
        const char* text = getenv("KESTRO_CLOCK_RATE");
        long value = text ? strtol(text, nullptr, 10) : 20;
        return value > 0 ? value : 20;
    }();
    auto elapsed = std::chrono::steady_clock::now() - origin;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return base + static_cast<time_t>(ms * rate / 1000);
}

}  // namespace
#endif

int main(int argc, char** argv) {
    if (int code = answer_info_option(argc, argv); code >= 0) return code;
#ifdef KESTRO_FAST_CLOCK
    time_source = fast_time_source;
    // Test build: lock files go where the test says, never into the system's directory.
    port_lock_files.directory = getenv("KESTRO_LOCK_DIR");
#endif
    kestro_main(argc, argv);
}
