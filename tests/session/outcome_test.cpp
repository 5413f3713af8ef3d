// The --progress line goes to standard error only when that is not the line itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include "session/outcome.h"
#include "support/pty.h"

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
