#include "app/app.h"
#include "app/usage.h"

#ifdef KESTRO_FAST_CLOCK
#include <chrono>
#include <cstdlib>

#include "serial/lock.h"
#include "serial/port.h"

namespace {

// Test build: time passes KESTRO_CLOCK_RATE times faster (default 20), seconds and
// milliseconds alike.
int64_t fast_ms_source() {
    static const auto origin = std::chrono::steady_clock::now();
    static const long rate = [] {
        const char* text = getenv("KESTRO_CLOCK_RATE");
        long value = text ? strtol(text, nullptr, 10) : 20;
        return value > 0 ? value : 20;
    }();
    auto elapsed = std::chrono::steady_clock::now() - origin;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() * rate;
}

time_t fast_time_source() {
    static const time_t base = time(nullptr);
    return base + static_cast<time_t>(fast_ms_source() / 1000);
}

}  // namespace
#endif

int main(int argc, char** argv) {
    if (int code = answer_info_option(argc, argv); code >= 0) return code;
#ifdef KESTRO_FAST_CLOCK
    time_source = fast_time_source;
    ms_source = fast_ms_source;
    // Test build: lock files go where the test says, never into the system's directory.
    set_lock_directory(getenv("KESTRO_LOCK_DIR"));
#endif
    kestro_main(argc, argv);
}
