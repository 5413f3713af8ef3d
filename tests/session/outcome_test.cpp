// The --progress line: written to standard error only when that is not the line itself,
// and fitted to the width it has there.
#include "session/outcome.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
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
