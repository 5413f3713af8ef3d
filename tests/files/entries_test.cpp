// Queues, path operations and DOS time stamps.
#include "files/entries.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "files/paths.h"
#include "serial/process.h"
#include "support/state.h"

TEST(Queue, AppendPopKeepLinksAndEnds) {
    file_queue q;
    EXPECT_EQ(queue_pop(&q), nullptr);
    file_entry *a = new_entry("a"), *b = new_entry("b");
    queue_append(&q, a);
    EXPECT_TRUE(q.head == a && q.tail == a && a->prev == nullptr);
    queue_append(&q, b);
    EXPECT_TRUE(b->prev == a && a->next == b && q.tail == b);
    EXPECT_EQ(queue_pop(&q), a);
    EXPECT_TRUE(a->next == nullptr && q.head == b && b->prev == nullptr);
    EXPECT_EQ(queue_pop(&q), b);
    EXPECT_TRUE(q.head == nullptr && q.tail == nullptr);
    free_entry(a);
    free_entry(b);
    reset_up_to_files();
    process.exit_status = 2;  // the internal error exits with the outstanding bits
    EXPECT_EQ(end_code([&] { queue_append(&q, nullptr); }), 2);
    EXPECT_EQ(process.internal_error, INTERNAL_ERROR_QUEUE);
    reset_up_to_files();
}

TEST(Path, SplitAtBlank) {
    char two[] = "name  second", one[] = "name ", none[] = "name";
    EXPECT_STREQ(split_at_blank(two), "second");
    EXPECT_STREQ(two, "name");
    EXPECT_STREQ(split_at_blank(one), "");
    EXPECT_EQ(split_at_blank(none), nullptr);
    EXPECT_STREQ(none, "name");
}

TEST(Path, SplitPathRefusesPartsThatDoNotFit) {
    char dir[8], name[8];
    ASSERT_EQ(split_path("a/b/c.t", dir, 8, name, 8), 0);
    EXPECT_STREQ(dir, "a/b/");
    EXPECT_STREQ(name, "c.t");
    ASSERT_EQ(split_path("/x", dir, 8, name, 8), 0);
    EXPECT_STREQ(dir, "/");
    ASSERT_EQ(split_path("bare", dir, 8, name, 8), 0);
    EXPECT_STREQ(dir, "");
    EXPECT_EQ(split_path("abcdef/1234567", dir, 8, name, 8), 0);  // both exactly full
    EXPECT_EQ(split_path("abcdefg/x", dir, 8, name, 8), -1);
    EXPECT_STREQ(dir, "");
    EXPECT_EQ(split_path("d/12345678", dir, 8, name, 8), -1);
    EXPECT_STREQ(name, "");
}

TEST(Path, MakePathJoinsAndRefusesOverflow) {
    char out[16];
    ASSERT_EQ(make_path(out, 16, "dir", "a", ".7"), 0);
    EXPECT_STREQ(out, "dir/a.7");
    ASSERT_EQ(make_path(out, 16, "dir/", "a", nullptr), 0);
    EXPECT_STREQ(out, "dir/a");
    ASSERT_EQ(make_path(out, 16, "", "a", ""), 0);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(make_path(out, 16, "123456", "12345678", nullptr), 0);  // 15 with the '/'
    EXPECT_EQ(make_path(out, 16, "1234567", "12345678", nullptr), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(make_path(out, 16, "123456", "1234567", ".9"), -1);
    char guard[8];
    memset(guard, 'G', sizeof guard);
    EXPECT_EQ(make_path(guard, 4, "ab", "cd", nullptr), -1);
    EXPECT_EQ(guard[4], 'G');
}

TEST(DosStamp, PacksLocalTime) {
    struct tm when = {};
    when.tm_year = 97, when.tm_mon = 2, when.tm_mday = 9;
    when.tm_hour = 13, when.tm_min = 45, when.tm_sec = 59;
    time_t t = timegm(&when);
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(dos_time(t), 0x6DBD);
    EXPECT_EQ(dos_date(t), 0x2269);
    setenv("TZ", "XXX-1", 1);  // one hour east: local time, not UTC, is packed
    tzset();
    EXPECT_EQ(dos_time(t), 0x6DBD + (1 << 11));
    // Back again, to the even second; a field out of range, or 31 February, is no time.
    EXPECT_EQ(dos_to_time(0x2269, 0x6DBD + (1 << 11)), t - 1);
    EXPECT_EQ(dos_to_time(0x2269, 0xC000), -1);  // hour 24
    EXPECT_EQ(dos_to_time(0x225F, 0), -1);       // 31 February 1997
    EXPECT_EQ(dos_to_time(0, 0), -1);            // no date at all
    unsetenv("TZ");
    tzset();
}
