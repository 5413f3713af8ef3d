// Queues, path operations and DOS time stamps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "files/entries.h"

TEST(Queue, AppendPopKeepLinksAndEnds) {
    file_queue q;
    EXPECT_EQ(queue_pop(&q), nullptr);
    file_entry* a = new_entry("a");
    queue_append(&q, a);
    EXPECT_EQ(q.head, a);
    EXPECT_EQ(q.tail, a);
    EXPECT_EQ(a->prev, nullptr);
    file_entry* b = new_entry("b");
    file_entry* c = new_entry("c");
    queue_append(&q, b);
    queue_append(&q, c);
    EXPECT_EQ(c->prev, b);
    EXPECT_EQ(queue_pop(&q), a);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(q.head->prev, nullptr);
    free_entry(a);
    queue_free_all(&q);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    file_entry* d = new_entry("d");
    queue_append(&q, d);
    EXPECT_EQ(queue_pop(&q), d);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    free_entry(d);
}

TEST(Queue, NullEntryIsInternalErrorThree) {
    settings = settings_state{};
    settings.exit_status = 2;
    file_queue q;
    EXPECT_EXIT(queue_append(&q, nullptr), ::testing::ExitedWithCode(2), "");
}

TEST(Entry, OfferRecordFollowsTheNameExactly) {
    file_entry* e = new_entry("my file.txt");
    e->time = 0x6DBD;
    e->date = 0x2269;
    e->size = 0x01020304;
    const uint8_t expected[] = {0xBD, 0x6D, 0x69, 0x22, 0x04, 0x03, 0x02, 0x01, 'm', 'y', ' '};
    EXPECT_EQ(memcmp(&e->time, expected, sizeof expected), 0);
    EXPECT_STREQ(e->name, "my file.txt");
    free_entry(e);
}

TEST(Path, SplitAtBlank) {
    char two[] = "name  second";
    char* rest = split_at_blank(two);
    EXPECT_STREQ(two, "name");
    EXPECT_STREQ(rest, "second");
    char one[] = "name ";
    EXPECT_STREQ(split_at_blank(one), "");
    char none[] = "name";
    EXPECT_EQ(split_at_blank(none), nullptr);
    EXPECT_STREQ(none, "name");
}

TEST(Path, SplitPath) {
    char dir[8], name[8];
    ASSERT_EQ(split_path("a/b/c.t", dir, sizeof dir, name, sizeof name), 0);
    EXPECT_STREQ(dir, "a/b/");
    EXPECT_STREQ(name, "c.t");
    ASSERT_EQ(split_path("/x", dir, sizeof dir, name, sizeof name), 0);
    EXPECT_STREQ(dir, "/");
    EXPECT_STREQ(name, "x");
    ASSERT_EQ(split_path("bare", dir, sizeof dir, name, sizeof name), 0);
    EXPECT_STREQ(dir, "");
    ASSERT_EQ(split_path("d/", dir, sizeof dir, name, sizeof name), 0);
    EXPECT_STREQ(name, "");
    // Exactly full fits; one more byte in either part is refused with both emptied.
    EXPECT_EQ(split_path("abcdef/1234567", dir, sizeof dir, name, sizeof name), 0);
    EXPECT_EQ(split_path("abcdefg/x", dir, sizeof dir, name, sizeof name), -1);
    EXPECT_STREQ(dir, "");
    EXPECT_EQ(split_path("d/12345678", dir, sizeof dir, name, sizeof name), -1);
    EXPECT_STREQ(name, "");
}

TEST(Path, MakePathJoinsAndRefusesOverflow) {
    char out[16];
    ASSERT_EQ(make_path(out, sizeof out, "dir", "a", ".7"), 0);
    EXPECT_STREQ(out, "dir/a.7");
    ASSERT_EQ(make_path(out, sizeof out, "dir/", "a", nullptr), 0);
    EXPECT_STREQ(out, "dir/a");
    ASSERT_EQ(make_path(out, sizeof out, "", "a", ""), 0);
    EXPECT_STREQ(out, "a");
    // 15 characters fit a 16-byte buffer; the added '/' counts towards the limit.
    EXPECT_EQ(make_path(out, sizeof out, "1234567", "12345678", nullptr), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(make_path(out, sizeof out, "123456", "12345678", nullptr), 0);
    EXPECT_EQ(make_path(out, sizeof out, "123456", "1234567", ".9"), -1);
    char guard[20];
    memset(guard, 'G', sizeof guard);
    EXPECT_EQ(make_path(guard, 4, "ab", "cd", nullptr), -1);
    EXPECT_EQ(guard[4], 'G');
}

TEST(DosStamp, PacksLocalTime) {
    const char* saved = getenv("TZ");
    std::string old = saved ? saved : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    struct tm when = {};
    when.tm_year = 97;
    when.tm_mon = 2;
    when.tm_mday = 9;
    when.tm_hour = 13;
    when.tm_min = 45;
    when.tm_sec = 59;
    time_t t = timegm(&when);
    EXPECT_EQ(dos_time(t), 0x6DBD);
    EXPECT_EQ(dos_date(t), 0x2269);
    // The same instant one hour east: only the hour moves.
    setenv("TZ", "XXX-1", 1);
    tzset();
    EXPECT_EQ(dos_time(t), 0x6DBD + (1 << 11));
    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
