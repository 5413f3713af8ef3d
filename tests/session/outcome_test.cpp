// The --progress line: written to standard error only when that is not the line itself,
// and fitted to the width it has there.
#include "session/outcome.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "link/channels.h"
#include "session/display.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "session/transfer.h"
#include "support/pty.h"
#include "support/state.h"

TEST(Progress, NeverWrittenOntoTheLine) {
    pty_pair line = open_pty();
    pty_pair other = open_pty();
    ASSERT_GE(line.slave, 0);
    ASSERT_GE(other.slave, 0);
    int same_again = open(line.path.c_str(), O_RDWR | O_NOCTTY);  // a second open of the line
    int copy = dup(line.slave);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_FALSE(progress_allowed(line.slave, same_again));
    EXPECT_FALSE(progress_allowed(line.slave, copy));
    EXPECT_TRUE(progress_allowed(line.slave, other.slave));
    EXPECT_TRUE(progress_allowed(line.slave, ends[1]));
    close(ends[1]);
    EXPECT_FALSE(progress_allowed(line.slave, ends[1]));  // closed: nowhere to write
    close(ends[0]);
    close(copy);
    close(same_again);
    close_pty(other);
    close_pty(line);
}

// The status line was about 110 columns and wrapped on an 80-column terminal into a stack
// of broken lines: each form fits the width it is given, the names going first.
TEST(Progress, LinesFitTheWidthTheyAreGiven) {
    reset_up_to_session();
    file_entry* in = new_entry("incoming/a-rather-long-name-for-a-download.tar.gz");
    set_entry_length(in, 123456789);
    receiving.stream.current = in;
    receiving.stream.figures.files_left = 1;
    file_entry* out = new_entry("/srv/files/another-long-name-going-up.iso");
    set_entry_length(out, 2000000000);
    queue_append(&sending.in_transit_queue, out);
    sending.stream.figures.files_left = 1;
    // A compressible start earned the download twice the line's rate: the time left goes by
    // the latest rate, which the bytes still to come are moving at.
    stats.download.average_rate = 23040;
    stats.upload.average_rate = 960;
    stats.download.current_rate = 11520;
    stats.upload.current_rate = 960;
    stats.download.crossed = 61728394;  // half of it
    char line[PROGRESS_LINE_SIZE];
    for (int width : {255, 79, 59, 39, 19}) {
        format_progress(line, sizeof line, width);
        EXPECT_LE(strlen(line), static_cast<size_t>(width)) << line;
        if (width >= 59) {
            EXPECT_NE(strstr(line, " a-rather"), nullptr) << line;
            EXPECT_NE(strstr(line, " 49% "), nullptr) << line;
            EXPECT_NE(strstr(line, " another"), nullptr) << line;
        }
    }
    format_progress(line, sizeof line, 255);
    EXPECT_STREQ(
        line,
        "Receiving a-rather-long-name-for-a 61728394/123456789 49% 23040 cps 1:29:19 left | "
        "Sending another-long-name-going- 0/2000000000 0% 960 cps 578:42:14 left");
    reset_up_to_session();  // frees both entries
}

// Result lines named no file ("Upload completed (2 file(s) sent)"), a resumed or renamed
// download said neither, the summary listed one file both "Sent" and "Skipped", and a
// file broken off at 28% was "sent, not confirmed by the peer".
TEST(Results, EachFileHasOneLineWithItsStoredNameAndResumePoint) {
    reset_up_to_session();
    static std::vector<std::string> shown;
    shown.clear();
    display.info = [](const char* text, const char* detail) {
        shown.push_back(std::string(text) + " (" + detail + ")");
    };
    file_entry* in = new_entry_with_alias("in/r.bin.0", "r.bin");
    in->offset = 4096;
    note_file_done(in, true);
    file_entry* out = new_entry("docs/a.txt");
    note_file_done(out, false);
    out->status = ST_HAVE_IT;
    out->inode = 1;  // an upload entry: the peer had it whole
    note_result(out);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "File received (r.bin, stored as in/r.bin.0, resumed at 4096 bytes)",
                         "File sent (docs/a.txt)"}));
    ASSERT_EQ(results.noted_count, 2);
    EXPECT_STREQ(results.noted[0].heading, "Received");
    EXPECT_STREQ(results.noted[0].reason, "stored as in/r.bin.0, resumed at 4096 bytes");
    EXPECT_STREQ(results.noted[1].heading, "Sent");  // never "Skipped" as well
    free_entry(in);
    free_entry(out);

    file_entry* cut = new_entry("big.bin");
    set_entry_length(cut, 1000);
    queue_append(&sending.in_transit_queue, cut);
    stats.upload.crossed = 280;
    alloc_link_channels();  // the session ran
    testing::internal::CaptureStderr();
    report_run_end();  // door mode: what did not complete, on standard error
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Not completed: big.bin (broken off at 28%, 280 of 1000 bytes)\n");
    reset_up_to_session();
}
