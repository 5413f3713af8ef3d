// One reset of every subsystem's state, the test side of the end-of-run seam, and the
// check that nothing was left pending.
#pragma once

#include <string>

// What ends the run in a test: final_exit throws this instead of leaving the process.
struct run_ended {
    int code;
};

// Frees what the state holds on the heap (rings, entries, directory nodes) and assigns every
// subsystem its initial state, the seams included: the run's end throws run_ended and the
// clock reads the system time. The curses screen, if a test built one, is its own to close.
void reset_all_state();

// What is still pending, "" when nothing: bytes in the link's rings, channels in its
// scheduling queues or in flight, entries in the file queues. A fixture whose cases end
// with everything delivered checks it in its tear-down, before the reset.
std::string leftovers();

// A fixture's first member: the state is reset before the other members (a fake line, say)
// are built, and again after they are gone.
struct state_reset {
    state_reset() { reset_all_state(); }
    ~state_reset() { reset_all_state(); }
};

// The exit code a piece of work ended the run with, or -1 when it returned.
template <typename Work>
int end_code(Work&& work) {
    try {
        work();
    } catch (const run_ended& ended) {
        return ended.code;
    }
    return -1;
}
