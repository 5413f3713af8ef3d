// The reset of every subsystem's state, one per layer, the test side of the end-of-run seam,
// and the check that nothing was left pending.
#pragma once

#include <string>

// What ends the run in a test: final_exit throws this instead of leaving the process.
struct run_ended {
    int code;
};

// Each reset frees what its layer and every layer below it hold on the heap (rings,
// entries, directory nodes) and assigns them their initial state, the seams included: the
// run's end throws run_ended and the clock reads the system time. A folder's tests link the
// support of their own layer and no higher (tests/CMakeLists.txt), so they call its reset.
// The curses screen, if a test built one, is its own to close.
void reset_up_to_serial();
void reset_up_to_link();
void reset_up_to_files();
void reset_up_to_session();
void reset_all_state();  // ui and everything below it: all the program's state

// What is still pending, "" when nothing: bytes in the link's rings, channels in its
// scheduling queues or in flight (link_leftovers), and entries in the file queues
// (leftovers). A fixture whose cases end with everything delivered checks it in its
// tear-down, before the reset.
std::string link_leftovers();
std::string leftovers();

// A fixture's first member: the state is reset before the other members (a fake line, say)
// are built, and again after they are gone.
template <void (*reset)()>
struct state_reset {
    state_reset() { reset(); }
    ~state_reset() { reset(); }
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
