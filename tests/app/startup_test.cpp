// The program's own clean-up and signal handlers: what exit_handler adds to the end of the
// link, and what the hang-up handler makes of SIGHUP.
#include <csignal>

#include "app/app.h"
#include "link/termination_fixture.h"

namespace {

TEST_F(Termination, FatalInternalErrorLineComesAfterTheTerminationOutput) {
    ending_plan plan;
    plan.end = how::internal_error;
    plan.first_cleanup = exit_handler;
    plan.answer = "{|";
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.err,
              "\nZARN data link closed.\nWaiting for ZARN termination... ok.\n"
              "[no pause]Fatal internal error 5.\n");
}

// Standard error that is the door's line carries no text to the peer: only the goodbye.
TEST_F(Termination, NothingIsSaidOnTheLineWhenStandardErrorIsTheLine) {
    ending_plan plan;
    plan.end = how::internal_error;
    plan.first_cleanup = exit_handler;
    plan.level = SEND_GOODBYE;
    plan.error_on_line = true;
    ending r = run(plan);
    EXPECT_EQ(r.code, outstanding);
    EXPECT_EQ(r.line, "{}{|{}[no pause]");  // the goodbye, then only the test's own report
}

// The handler stays for the whole run: every hang-up is a stop signal, but with -t the
// first is the carrier's loss. One ignored at the start (nohup) stays ignored without -t.
TEST(HangupHandler, EveryHangupIsCaughtAndAnIgnoredOneStaysIgnoredWithoutT) {
    int status = run_child(
        [] {
            reset_all_state();
            serial.carrier_mode = 2;
            install_hangup_handler();
            raise(SIGHUP);
            if (carrier_present() != 0 || stop_count != 0) _exit(1);
            raise(SIGHUP);
            if (stop_count != 1 || stop_signal != SIGHUP) _exit(2);
            reset_all_state();
            signal(SIGHUP, SIG_IGN);
            install_hangup_handler();
            raise(SIGHUP);
            _exit(stop_count == 0 ? 0 : 3);
        },
        [](pid_t) {});
    EXPECT_EQ(exit_code(status), 0);
}

}  // namespace
