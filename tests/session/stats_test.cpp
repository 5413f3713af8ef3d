// Rates on the test clock, the transfer log line and the result messages.
#include "session/display.h"
#include "transfer_fixture.h"

namespace {

class Stats : public Transfer {
protected:
    static void at(time_t second) {
        test_now = second;
        clock_update();
    }
    static file_entry* entry(const char* name, int32_t size, uint8_t status = 1) {
        file_entry* e = new_entry(name);
        e->size = size;
        e->status = status;
        return e;
    }
};

TEST_F(Stats, LogLineHasTheFixedFormatWithTheNameCutAtItsBlank) {
    stats.line_speed = 38400;
    delivery.block_size = 512;
    file_entry* e = entry("/some/dir/my file.txt", 2500);
    write_log_line('S', e, 0);
    write_log_line('s', e, 1234);
    e->size = 123456789;
    write_log_line('e', e, 123456);
    free_entry(e);
    e = entry("evil\nS 1 forged", 1);
    write_log_line('E', e, 7);
    free_entry(e);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{
                               "S   2500 38400 bps 9999 cps   0 errors     0  512 /some/dir/my 0",
                               "s   2500 38400 bps 1234 cps   0 errors     0  512 /some/dir/my 0",
                               "e 123456789 38400 bps 123456 cps   0 errors     0  512 /some/dir/my 0",
                               "E      1 38400 bps    7 cps   0 errors     0  512 evil?S 0"}));
    close(stats.log_fd);
    stats.log_fd = -1;
    e = entry("x", 1);
    write_log_line('S', e, 1);  // no log: nothing happens
    free_entry(e);
    EXPECT_EQ(log_lines().size(), 4u);
}

TEST_F(Stats, CurrentRateFollowsTheAverageThenFreezesThenMovesPerWindow) {
    rate_state r;
    transfer_figures f;
    f.files_left = 1;
    auto step = [&](time_t second, int32_t n) {
        at(second);
        update_rates(&r, &f, n);
    };
    step(1000, 0);
    EXPECT_EQ(r.rate_start, 0);  // nothing moved yet
    step(1001, 1000);
    EXPECT_EQ(r.average_rate, 1000);  // elapsed 0 counts as 1
    EXPECT_EQ(r.current_rate, 1000);
    step(1010, 10000);
    EXPECT_EQ(r.average_rate, 1111);
    EXPECT_EQ(r.current_rate, 1111);  // second 9: still the average
    step(1011, 11000);
    EXPECT_EQ(r.average_rate, 1100);
    EXPECT_EQ(r.current_rate, 1111);  // frozen
    step(1060, 60000);
    EXPECT_EQ(r.current_rate, 1111);
    step(1061, 61000);
    EXPECT_EQ(r.current_rate, 61000 / 60);  // the first 60 seconds
    step(1120, 61000 + 59 * 500);
    EXPECT_EQ(r.current_rate, 61000 / 60);
    step(1121, 61000 + 60 * 500);
    EXPECT_EQ(r.current_rate, 500);  // the latest window only

    f.files_left = 0;
    f.bytes_moved = 91000;
    step(1122, 91000);
    EXPECT_EQ(r.rate_start, 0);
    EXPECT_EQ(f.bytes_moved, 0);
    EXPECT_EQ(r.current_rate, 500);  // shown rates stay after the batch
    f.files_left = 1;
    step(1200, 300);
    EXPECT_EQ(r.rate_start, 1200);  // the next batch starts from its own first byte
    EXPECT_EQ(r.average_rate, 300);
}

TEST_F(Stats, RefreshOncePerSecondCountsBytesThatCrossedTheLink) {
    receiving.figures.files_left = 1;
    receiving.figures.bytes_moved = 400;
    peer(16, std::string(100, 'x'));  // arrived, not yet written
    sending.figures.files_left = 1;
    sending.figures.bytes_moved = 3000;
    send_write(17, reinterpret_cast<const uint8_t*>(std::string(1000, 'y').data()), 1000);
    cycle.yell_count = 2;
    at(2000);
    refresh_statistics();
    EXPECT_EQ(stats.download.average_rate, 500);
    EXPECT_EQ(stats.upload.average_rate, 2000);  // only what the peer acknowledged
    EXPECT_EQ(cycle.yell_count, 1);
    refresh_statistics();  // same second: nothing
    EXPECT_EQ(cycle.yell_count, 1);
    at(2001);
    refresh_statistics();
    EXPECT_EQ(cycle.yell_count, 0);
    at(2002);
    refresh_statistics();
    EXPECT_EQ(cycle.yell_count, 0);
}

// A long session passes 2 GiB: the link's byte counts and the rates stay whole.
TEST_F(Stats, ByteCountsPastTwoGibibytesStayWhole) {
    static int64_t received_shown = 0;
    display.figure = [](int row, int column, int64_t value) {
        if (row == LINK_FIRST_ROW + 4 && column == LINK_COLUMN) received_shown = value;
    };
    receiving.figures.files_left = 1;
    receiving.figures.bytes_moved = 1;
    at(2000);
    refresh_statistics();
    delivery.rx_bytes = 3LL << 30;
    receiving.figures.bytes_moved = 3LL << 30;
    at(2100);
    refresh_statistics();
    EXPECT_EQ(received_shown, 3LL << 30);
    EXPECT_EQ(stats.download.average_rate, (3LL << 30) / 100);
}

TEST_F(Stats, EveryLetterHasItsMessageAndOthersAreFreedSilently) {
    const std::pair<char, const char*> table[] = {
        {'0', "Upload aborted"},     {'1', "File read error"},
        {'2', "File open error"},    {'3', "File size error"},
        {'4', "Download aborted"},   {'5', "File write error"},
        {'e', "File already exist"}, {'i', "Duplicate file ignored"},
        {'m', "Requested file not found"}, {'p', "Download request denied"},
        {'q', "Upload request denied"},    {'t', "Too many files to transfer"},
        {'x', "File already transferred"}, {'N', "File name too long"}};
    char detail[PATH_SIZE];
    const char* message = nullptr;
    for (const auto& [letter, text] : table) {
        file_entry* e = entry("dir/my file.txt", 1, static_cast<uint8_t>(letter));
        ASSERT_TRUE(result_text(e, &message, detail, sizeof detail)) << letter;
        EXPECT_STREQ(message, text);
        EXPECT_STREQ(detail, "dir/my file.txt");  // the whole name
        free_entry(e);
    }
    receiving.figures.total_files = 12;
    sending.figures.total_files = 1;
    file_entry* d = entry("d", 1, 'D');
    ASSERT_TRUE(result_text(d, &message, detail, sizeof detail));
    EXPECT_STREQ(message, "Download completed");
    EXPECT_STREQ(detail, "12 file(s) received");
    d->status = 'U';
    ASSERT_TRUE(result_text(d, &message, detail, sizeof detail));
    EXPECT_STREQ(detail, "1 file(s) sent");
    free_entry(d);

    queue_append(&finished_queue, entry("odd", 1, 'Z'));
    queue_append(&finished_queue, entry("next", 1, 'q'));
    show_next_result();
    EXPECT_EQ(finished(), std::vector<std::string>{"q:next"});  // one per call, in order
    show_next_result();
    show_next_result();
    EXPECT_TRUE(finished().empty());
}

}  // namespace
