// The command line as the caller sees it (the real binary: exit codes, exact texts)
// and the settings it leaves behind for what only shows later in the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "files/lists.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/stats.h"
#include "session/transfer.h"
#include "support/child.h"
#include "support/pty.h"
#include "support/scratch.h"
#include "support/state.h"
#include "ui/screen.h"

namespace {

const std::string title = "Kestro V1.0/Linux - ported by Varkas\n\n";
const char* no_device = "/nonexistent/kestro-test-line";
const std::string help_hint = "Try 'kestro --help'.\n";
const std::string needs_argument =
    "needs an argument (exit code 1, as for downloads outstanding)\n";
const std::string port_failure = "Error initializing rs-port.\nkestro: " + std::string(no_device) +
                                 ": No such file or directory\n";

using run_result = program_run;

// Runs the program with stdin at /dev/null and collects both output streams whole; the
// terminal is one that can run the display, whatever the test's own is.
run_result run_kestro(const std::vector<std::string>& words) {
    return run_program(KESTRO_BIN, words, {"TERM=xterm", "LINES", "COLUMNS"});
}

std::string unknown_option_text(const std::string& letters) {
    return "Unknown option: \n" + letters + "\n\n\n";
}

// Device mode: the texts on standard output. Door mode: standard output is the caller's
// line, so they go to standard error.
TEST(CommandLineBinary, OptionArgumentMissingPrintsTitleAndExitsOne) {
    for (auto [words, option] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-p"}, "-p"},
             {{"-p", no_device, "-c", "-z"}, "-z"},
             {{"-p", no_device, "-sz", "19200"}, "-z"},
             {{"-p", no_device, "-E"}, "-E"},
             {{"-p", no_device, "-v"}, "-v"},
             {{"-p", no_device, "-e"}, "-e"},
             {{"-p", no_device, "--speed"}, "--speed"}}) {
        run_result r = run_kestro(words);
        EXPECT_EQ(r.code, 1) << option;
        EXPECT_EQ(r.out, title) << option;
        EXPECT_EQ(r.err, "kestro: " + option + ": " + needs_argument + help_hint);
    }
    run_result r = run_kestro({"-c", "-z"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, title + "kestro: -z: " + needs_argument + help_hint);
}

TEST(CommandLineBinary, UnknownLetterPrintsRestOfWordAndExitsThirty) {
    run_result r = run_kestro({"-p", no_device, "-cQ"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("Q"));
    EXPECT_EQ(r.err, "kestro: -Q: unknown option\n" + help_hint);
    r = run_kestro({"-cQ"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, unknown_option_text("Q") + "kestro: -Q: unknown option\n" + help_hint);

    // The argument is never taken from the same word: -s takes 9600, then '1' is unknown.
    r = run_kestro({"-p", no_device, "-s19200", "9600"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("19200"));

    r = run_kestro({"-p", no_device, "-xyQab", "-c"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("Qab"));
}

TEST(CommandLineBinary, BadValuesExitThirtyWithOneLineSayingWhy) {
    for (auto words : std::vector<std::vector<std::string>>{{"-s", "49"},
                                                            {"-s", "115201"},
                                                            {"-s", "abc"},
                                                            {"-s", "-9600"},
                                                            {"-E", "601"},
                                                            {"-E", "-1"},
                                                            {"-E", "abc"},  // not read as 0
                                                            {"-E", "1.5"},
                                                            {"-e", "5x"},
                                                            {"-v", "x"},
                                                            {"-v", ""},
                                                            {"--speed", "12345"},
                                                            {"--speed", "9600x"},
                                                            {"--speed=0"}}) {
        run_result r = run_kestro(words);
        std::string said = words.size() > 1 ? words[0] + " " + words[1] : "--speed 0";
        EXPECT_EQ(r.code, 30) << said;
        EXPECT_EQ(r.out, "") << said;
        EXPECT_EQ(r.err.rfind("kestro: " + said + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// Door mode typed at a prompt: standard input and error are the one terminal, which the
// guard for a door's line took for the line, so "-v Q", "-E abc" and "-Z" said nothing (or
// only the hint) and ended 30; "--spede" was echoed as "-spede".
TEST(CommandLineBinary, OptionErrorsReachTheTerminalInDoorModeWithTheWordAsTyped) {
    for (auto [words, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-v", "Q"}, "kestro: -v Q: a profile letter"},
             {{"-E", "abc"}, "kestro: -E abc: seconds"},
             {{"-Z"}, "kestro: -Z: unknown option"},
             {{"-cx", "--spede"}, "kestro: --spede: unknown option"},
             {{"-E", "1\x1b[2J"}, "kestro: -E 1?[2J: seconds"}}) {
        pty_pair terminal = open_pty();
        std::string shown;
        int status = run_child(
            [&] {
                for (int fd : {0, 1, 2}) dup2(terminal.slave, fd);
                std::vector<char*> argv{const_cast<char*>(KESTRO_BIN)};
                for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
                argv.push_back(nullptr);
                execv(KESTRO_BIN, argv.data());
            },
            [&](pid_t) {
                set_nonblocking(terminal.master);
                drain_into(terminal.master, shown);
            });
        EXPECT_EQ(exit_code(status), 30) << said;
        EXPECT_NE(shown.find(said), std::string::npos) << shown;
        close_pty(terminal);
    }
}

TEST(CommandLineBinary, ChatTimeAboveLimitEndsAtOnceWithZero) {
    run_result r = run_kestro({"-e", "601", "-p", no_device});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// Accepted values let the start-up go on to the port, which then cannot be opened.
TEST(CommandLineBinary, BoundaryValuesAcceptedThenPortFailureExitsTwenty) {
    for (auto words : std::vector<std::vector<std::string>>{{"-s", "50"},
                                                            {"-s", "115200"},
                                                            {"-s", " +9600x"},
                                                            {"-E", "600"},
                                                            {"-E", "0"},
                                                            {"-e", "600"},
                                                            {"-v", "s"},
                                                            {"-v", "Tx"},
                                                            {"-D", "-F", "-"}}) {
        words.push_back("-p");
        words.push_back(no_device);
        run_result r = run_kestro(words);
        EXPECT_EQ(r.code, 20) << words[0] << " " << words[1];
        // Nothing of the link's termination: it is not registered before the port is open.
        EXPECT_EQ(r.err, port_failure) << words[0] << " " << words[1];
    }
}

TEST(CommandLineBinary, LogIsOpenedTruncatedBeforeThePort) {
    scratch_dir dir;
    ASSERT_FALSE(dir.root.empty());
    std::string existing = dir.path("old.log");
    std::string fresh = dir.path("new.log");
    int fd = open(existing.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "stale line of an earlier run\n", 29), 29);
    close(fd);

    run_result r = run_kestro({"-z", existing, "-p", no_device});
    EXPECT_EQ(r.code, 20);
    struct stat info {};
    ASSERT_EQ(stat(existing.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);

    r = run_kestro({"-pz", no_device, fresh});
    EXPECT_EQ(r.code, 20);
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    // A log that cannot be opened is no reason to stop, only to say so.
    r = run_kestro({"-z", dir.path("missing/dir.log"), "-p", no_device});
    EXPECT_EQ(r.code, 20);
    EXPECT_EQ(r.err, "kestro: " + dir.path("missing/dir.log") + ": No such file or directory\n" +
                         port_failure);
}

// ---- Parsed settings ----

class ParsedSettings : public ::testing::Test {
   protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { reset_all_state(); }
    void parse(std::vector<std::string> words) {
        words_ = std::move(words);
        std::vector<char*> argv{const_cast<char*>("kestro")};
        for (auto& w : words_) argv.push_back(w.data());
        argv.push_back(nullptr);
        parse_command_line(static_cast<int>(argv.size()) - 1, argv.data());
    }
    std::vector<std::string> words_;  // parsed settings point into these
};

TEST_F(ParsedSettings, CompatibleModeReplacesWhileFlowModeAdds) {
    parse({"-H", "-C"});
    EXPECT_EQ(link_setup.initial_link_mode, 0x30);
    EXPECT_EQ(link_setup.flow_letter, 'S');
    EXPECT_EQ(link_setup.char_flags[0x11], 3);
    EXPECT_EQ(link_setup.char_flags[0x13], 3);
    EXPECT_EQ(link_setup.char_flags[0x12], 0);

    reset();
    parse({"-C", "-H"});
    EXPECT_EQ(link_setup.initial_link_mode, 0x33);

    reset();
    parse({"-CH"});
    EXPECT_EQ(link_setup.initial_link_mode, 0x33);
}

TEST_F(ParsedSettings, LettersSharingAWordTakeFollowingWordsInOrder) {
    parse({"-sz", "19200", "log", "-pcv", "/dev/ttyS1", "m", "-Ee", "30", "45"});
    EXPECT_EQ(stats.line_speed, 19200);
    EXPECT_STREQ(stats.log_path, "log");
    EXPECT_STREQ(link_setup.device_path, "/dev/ttyS1");
    EXPECT_TRUE(process.device_mode);
    EXPECT_EQ(serial.carrier_mode, 0);
    EXPECT_EQ(link_setup.profile_letter, 'M');
    EXPECT_EQ(cycle.profile_echo_pending, 1);
    EXPECT_EQ(session.idle_exit_seconds, 30);
    EXPECT_EQ(session.chat_idle_seconds, 45);
    EXPECT_EQ(session.auto_exit_flags, 3);
    // The chat condition already holds before any chat.
    EXPECT_EQ(chat.last_chat_time, -45);
}

TEST_F(ParsedSettings, LaterOptionOverridesEarlierOfTheSameSetting) {
    parse({"-t", "-h", "-s", "300", "-s", "2400", "-c", "-z", "a", "-z", "b"});
    EXPECT_EQ(serial.carrier_mode, 0);
    EXPECT_EQ(link_setup.flow_letter, 'N');
    EXPECT_EQ(stats.line_speed, 2400);
    EXPECT_STREQ(stats.log_path, "b");

    reset();
    parse({"-c", "-t"});
    EXPECT_EQ(serial.carrier_mode, 2);

    reset();
    parse({"--times", "--no-times", "-p", "/dev/ttyS1"});
    EXPECT_FALSE(apply_times_on());  // device mode sets times unless told not to
    reset();
    parse({"--times"});
    EXPECT_TRUE(apply_times_on());
}

TEST_F(ParsedSettings, EveryFlagLetterSetsItsSetting) {
    parse({"-RXjkoqrwxy", "-DF", "-"});
    EXPECT_EQ(session.rename_existing, 1);
    EXPECT_EQ(session.log_refusals, 1);
    EXPECT_EQ(session.accept_uploads, 0);
    EXPECT_EQ(files.wildcards_allowed, 0);
    EXPECT_EQ(session.overwrite_existing, 1);
    EXPECT_EQ(screen.beeper_off, 1);
    EXPECT_EQ(session.serve_requests, 1);
    EXPECT_EQ(session.resume_check, 0);
    EXPECT_EQ(session.delete_partial, 1);
    EXPECT_EQ(session.delete_sent, 1);
    // What the flags must not touch.
    EXPECT_EQ(serial.carrier_mode, 1);
    EXPECT_EQ(link_setup.flow_letter, 'H');
    EXPECT_EQ(link_setup.initial_link_mode, 0);
    EXPECT_EQ(session.auto_exit_flags, 0);
    EXPECT_EQ(link_setup.device_path, nullptr);
    EXPECT_FALSE(process.device_mode);
    EXPECT_EQ(cycle.profile_echo_pending, 0);
}

TEST_F(ParsedSettings, NamesAreHandedOnInTheModeInForceWhenTheyCome) {
    scratch_dir dir;
    ASSERT_FALSE(dir.root.empty());
    std::string a = dir.path("a.txt");
    std::string d = dir.path("d.txt");
    for (const auto& path : {a, d}) close(open(path.c_str(), O_WRONLY | O_CREAT, 0644));

    parse({a, "-d", "b.txt", "-U", "c.txt", "-u", d, "-d", "e.txt"});
    EXPECT_EQ(files.name_mode, 'd');

    file_entry* sent_first = queue_pop(&files.upload_queue);
    file_entry* sent_second = queue_pop(&files.upload_queue);
    ASSERT_NE(sent_first, nullptr);
    ASSERT_NE(sent_second, nullptr);
    EXPECT_EQ(queue_pop(&files.upload_queue), nullptr);
    EXPECT_STREQ(sent_first->name, a.c_str());
    EXPECT_STREQ(sent_second->name, d.c_str());

    file_entry* requested = queue_pop(&files.request_queue);
    ASSERT_NE(requested, nullptr);
    EXPECT_STREQ(requested->name, "c.txt");
    EXPECT_EQ(queue_pop(&files.request_queue), nullptr);

    file_entry* stored_first = queue_pop(&files.receive_names);
    file_entry* stored_second = queue_pop(&files.receive_names);
    ASSERT_NE(stored_first, nullptr);
    ASSERT_NE(stored_second, nullptr);
    EXPECT_STREQ(stored_first->name, "b.txt");
    EXPECT_STREQ(stored_second->name, "e.txt");

    for (file_entry* e : {sent_first, sent_second, requested, stored_first, stored_second})
        free_entry(e);
}

// --escape goes into both handshake lists as -H puts XON and XOFF there, without -H's flow
// control; --plain announces nothing; DOOR32.SYS gives the descriptor and a speed the log
// cannot hold is logged as 0.
TEST_F(ParsedSettings, LineOptionsSetEscapesAnnouncementsAndTheDoorsDescriptor) {
    parse({"--escape", "telnet,0x7e", "--escape=10", "--plain", "--fd", "7"});
    EXPECT_EQ(link_setup.initial_link_mode, 0x03);
    EXPECT_EQ(link_setup.flow_letter, 'H');
    for (int b : {0x0D, 0x11, 0x13, 0x1D, 0xFF, 0x7E, 0x0A}) EXPECT_EQ(link_setup.char_flags[b], 3);
    EXPECT_EQ(link_setup.char_flags[0x0C], 0);
    EXPECT_EQ(session.announce, 0);
    EXPECT_EQ(process.door_line_fd, 7);
    reset();
    scratch_dir dir;
    write_file(dir.path("DOOR32.SYS"), "2\r\n12\r\n230400\r\nBBS\r\n");
    parse({"-s", "9600", "--door32", dir.path("DOOR32.SYS")});
    EXPECT_EQ(process.door_line_fd, 12);
    EXPECT_EQ(stats.line_speed, 0);
}

}  // namespace
