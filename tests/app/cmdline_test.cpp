// The command line as the caller sees it (the real binary: exit codes, exact texts)
// and the settings it leaves behind for what only shows later in the run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/settings.h"
#include "files/entries.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "session/cycle.h"

namespace {

const std::string title = "Kestro V1.0/Linux - ported by Varkas\n\n";
const char* no_device = "/nonexistent/kestro-test-line";
const std::string help_hint = "Try 'kestro --help'.\n";

struct run_result {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the program with stdin at /dev/null and collects both output streams whole.
run_result run_kestro(const std::vector<std::string>& words) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        umask(0);
        std::vector<char*> argv{const_cast<char*>(KESTRO_BIN)};
        for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        execv(KESTRO_BIN, argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        // Generous safety limit: none of these runs waits for anything.
        if (poll(fds, 2, 30000) <= 0) {
            kill(child, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[512];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    waitpid(child, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string unknown_option_text(const std::string& letters) {
    return "Unknown option: \n" + letters + "\n\n\n";
}

TEST(CommandLineBinary, OptionArgumentMissingPrintsTitleAndExitsOne) {
    for (auto words : std::vector<std::vector<std::string>>{
             {"-p"}, {"-c", "-z"}, {"-sz", "19200"}, {"-E"}, {"-v"}, {"-e"}}) {
        run_result r = run_kestro(words);
        EXPECT_EQ(r.code, 1) << words.back();
        EXPECT_EQ(r.out, title) << words.back();
        EXPECT_EQ(r.err, help_hint);
    }
}

TEST(CommandLineBinary, UnknownLetterPrintsRestOfWordAndExitsThirty) {
    run_result r = run_kestro({"-cQ"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("Q"));
    EXPECT_EQ(r.err, help_hint);

    // The argument is never taken from the same word: -s takes 9600, then '1' is unknown.
    r = run_kestro({"-s19200", "9600"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("19200"));

    r = run_kestro({"-xyQab", "-c"});
    EXPECT_EQ(r.code, 30);
    EXPECT_EQ(r.out, unknown_option_text("Qab"));
}

TEST(CommandLineBinary, BadValuesExitThirtySilently) {
    for (auto words : std::vector<std::vector<std::string>>{{"-s", "49"},
                                                            {"-s", "115201"},
                                                            {"-s", "abc"},
                                                            {"-s", "-9600"},
                                                            {"-E", "601"},
                                                            {"-E", "-1"},
                                                            {"-v", "x"},
                                                            {"-v", ""}}) {
        run_result r = run_kestro(words);
        EXPECT_EQ(r.code, 30) << words[0] << " " << words[1];
        EXPECT_EQ(r.out, "") << words[0] << " " << words[1];
        EXPECT_EQ(r.err, "");
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
        EXPECT_EQ(r.err, "Error initializing rs-port.\r\n") << words[0] << " " << words[1];
    }
}

TEST(CommandLineBinary, LogIsOpenedTruncatedBeforeThePort) {
    char dir[] = "/tmp/kestro-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string existing = std::string(dir) + "/old.log";
    std::string fresh = std::string(dir) + "/new.log";
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

    // A log that cannot be opened is no reason to stop.
    r = run_kestro({"-z", std::string(dir) + "/missing/dir.log", "-p", no_device});
    EXPECT_EQ(r.code, 20);
    EXPECT_EQ(r.err, "Error initializing rs-port.\r\n");

    unlink(existing.c_str());
    unlink(fresh.c_str());
    rmdir(dir);
}

// ---- Parsed settings ----

class ParsedSettings : public ::testing::Test {
   protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    void reset() {
        queue_free_all(&files.upload_queue);
        queue_free_all(&files.request_queue);
        queue_free_all(&files.receive_names);
        files = files_state{};
        settings = settings_state{};
        codec = codec_state{};
        cycle = cycle_state{};
        delivery = delivery_state{};
    }
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
    EXPECT_EQ(settings.initial_link_mode, 0x30);
    EXPECT_EQ(settings.flow_letter, 'S');
    EXPECT_EQ(codec.char_flags[0x11], 3);
    EXPECT_EQ(codec.char_flags[0x13], 3);
    EXPECT_EQ(codec.char_flags[0x12], 0);

    reset();
    parse({"-C", "-H"});
    EXPECT_EQ(settings.initial_link_mode, 0x33);

    reset();
    parse({"-CH"});
    EXPECT_EQ(settings.initial_link_mode, 0x33);
}

TEST_F(ParsedSettings, LettersSharingAWordTakeFollowingWordsInOrder) {
    parse({"-sz", "19200", "log", "-pcv", "/dev/ttyS1", "m", "-Ee", "30", "45"});
    EXPECT_EQ(settings.line_speed, 19200);
    EXPECT_STREQ(settings.log_path, "log");
    EXPECT_STREQ(settings.device_path, "/dev/ttyS1");
    EXPECT_EQ(settings.carrier_mode, 0);
    EXPECT_EQ(delivery.profile_letter, 'M');
    EXPECT_EQ(cycle.profile_echo_pending, 1);
    EXPECT_EQ(settings.idle_exit_seconds, 30);
    EXPECT_EQ(settings.chat_idle_seconds, 45);
    EXPECT_EQ(settings.auto_exit_flags, 3);
    // The chat condition already holds before any chat.
    EXPECT_EQ(cycle.last_chat_time, -45);
}

TEST_F(ParsedSettings, LaterOptionOverridesEarlierOfTheSameSetting) {
    parse({"-t", "-h", "-s", "300", "-s", "2400", "-c", "-z", "a", "-z", "b"});
    EXPECT_EQ(settings.carrier_mode, 0);
    EXPECT_EQ(settings.flow_letter, 'N');
    EXPECT_EQ(settings.line_speed, 2400);
    EXPECT_STREQ(settings.log_path, "b");

    reset();
    parse({"-c", "-t"});
    EXPECT_EQ(settings.carrier_mode, 2);
}

TEST_F(ParsedSettings, EveryFlagLetterSetsItsSetting) {
    parse({"-RXjkoqrwxy", "-DF", "-"});
    EXPECT_EQ(settings.rename_existing, 1);
    EXPECT_EQ(settings.log_refusals, 1);
    EXPECT_EQ(settings.accept_uploads, 0);
    EXPECT_EQ(settings.wildcards_allowed, 0);
    EXPECT_EQ(settings.overwrite_existing, 1);
    EXPECT_EQ(settings.beeper_off, 1);
    EXPECT_EQ(settings.serve_requests, 1);
    EXPECT_EQ(settings.resume_check, 0);
    EXPECT_EQ(settings.delete_partial, 1);
    EXPECT_EQ(settings.delete_sent, 1);
    // What the flags must not touch.
    EXPECT_EQ(settings.carrier_mode, 1);
    EXPECT_EQ(settings.flow_letter, 'H');
    EXPECT_EQ(settings.initial_link_mode, 0);
    EXPECT_EQ(settings.auto_exit_flags, 0);
    EXPECT_EQ(settings.device_path, nullptr);
    EXPECT_EQ(cycle.profile_echo_pending, 0);
}

TEST_F(ParsedSettings, NamesAreHandedOnInTheModeInForceWhenTheyCome) {
    char dir[] = "/tmp/kestro-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string a = std::string(dir) + "/a.txt";
    std::string d = std::string(dir) + "/d.txt";
    for (const auto& path : {a, d}) close(open(path.c_str(), O_WRONLY | O_CREAT, 0644));

    parse({a, "-d", "b.txt", "-U", "c.txt", "-u", d, "-d", "e.txt"});
    EXPECT_EQ(settings.name_mode, 'd');

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
    unlink(a.c_str());
    unlink(d.c_str());
    rmdir(dir);
}

}  // namespace
