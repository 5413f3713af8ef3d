// Rates on the test clock, the transfer log line and the result messages.
#include <map>

#include "session/display.h"
#include "transfer_fixture.h"

namespace {

class Stats : public Transfer {
   protected:
    static void at(time_t second) { fake_clock_at(second); }
    // The millisecond clock, and the second clock with it.
    static void at_ms(int64_t ms) { fake_clock_at_ms(ms); }
    // A file of 2,048 bytes offered, accepted by the peer and read into two data channels.
    void upload_in_data_channels() {
        put_file("up", random_bytes(2048, 3));
        add_upload_name("up", 1);
        send_offers();
        peer(CH_STATUS, "u");
        status_receiver();
        send_data();
        send_data();
    }
    static file_entry* entry(const char* name, int32_t size, uint8_t status = 1) {
        file_entry* e = new_entry(name);
        set_entry_length(e, size);
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
    set_entry_length(e, 123456789);
    write_log_line('e', e, 123456);
    free_entry(e);
    e = entry("evil\nS 1 forged", 1);
    write_log_line('E', e, 7);
    free_entry(e);
    e = entry("\xe2\x80\xaegpj\xc2\x9b\x9b\xe2\x82\xac.exe",
              1);  // U+202E, C1 encoded and raw, euro
    write_log_line('S', e, 7);
    free_entry(e);
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{
                  "S   2500 38400 bps 9999 cps   0 errors     0  512 /some/dir/my 0",
                  "s   2500 38400 bps 1234 cps   0 errors     0  512 /some/dir/my 0",
                  "e 123456789 38400 bps 123456 cps   0 errors     0  512 /some/dir/my 0",
                  "E      1 38400 bps    7 cps   0 errors     0  512 evil?S 0",
                  "S      1 38400 bps    7 cps   0 errors     0  512 ?gpj??\xe2\x82\xac.exe 0"}));
    close(stats.log_fd);
    stats.log_fd = -1;
    e = entry("x", 1);
    write_log_line('S', e, 1);  // no log: nothing happens
    free_entry(e);
    EXPECT_EQ(log_lines().size(), 5u);
}

// "Current cps" showed 0 for 27 s while bytes moved, and kept its last value once all had
// ended: it now covers about the last five seconds, refreshed each time, and falls to 0
// when nothing crosses. "Average cps" stays the batch's.
TEST_F(Stats, CurrentRateCoversTheLastSecondsAndFallsToZeroWhenNothingMoves) {
    rate_state r;
    transfer_figures f;
    f.files_left = 1;
    const int64_t t0 = 5000000;
    // A step is a refresh; bytes that grew landed at that moment, so a window can start there.
    auto step = [&](int64_t ms, int64_t n) {
        at_ms(t0 + ms);
        if (n != r.crossed) {
            r.lead = r.crossed = n;
            r.lead_ms = r.crossed_ms = t0 + ms;
        }
        update_rates(&r, &f, n);
    };
    step(1000, 1000);
    EXPECT_EQ(r.current_rate, 0);  // no first byte yet: nothing is shown
    r.rate_start_ms = t0;
    for (int k = 1; k <= 6; ++k) {
        step(1000 * k, 1000 * k);
        EXPECT_EQ(r.average_rate, 1000);
        EXPECT_EQ(r.current_rate, 1000);
    }
    for (int k = 1; k <= 5; ++k) step(6000 + 1000 * k, 6000 + 500 * k);
    EXPECT_EQ(r.average_rate, 8500 / 11);
    EXPECT_EQ(r.current_rate, 500);  // the last five seconds only
    step(15999, 8500);
    EXPECT_GT(r.current_rate, 0);
    step(16000, 8500);
    EXPECT_EQ(r.current_rate, 0);  // nothing for five seconds
    EXPECT_EQ(r.average_rate, 8500 / 16);
    step(17000, 9500);
    EXPECT_EQ(r.current_rate, 1000 / 6);  // moving again: from the newest sample five seconds old

    f.files_left = 0;
    step(18000, 9500);
    EXPECT_EQ(r.rate_start_ms, 0);
    EXPECT_EQ(r.current_rate, 0);          // all done: nothing moves
    EXPECT_EQ(r.average_rate, 9500 / 17);  // the average stays
    int64_t bytes = 0;
    int32_t rate = 0;
    run_totals(&r, &bytes, &rate);
    EXPECT_EQ(bytes, 9500);
    EXPECT_EQ(rate, 9500 / 17);
}

// At 9600 baud the upload's "Current cps" read 409-613 while 910 bytes a second left: its
// window began where the framed bytes had stood, many seconds ahead of the acknowledged
// ones. It is what crossed (acknowledged, or landed) over the last seconds at both ends.
TEST_F(Stats, CurrentRateFollowsTheCrossedBytesHoweverFarTheFramedOnesLead) {
    rate_state r;
    transfer_figures f;
    f.files_left = 1;
    const int64_t t0 = 7000000;
    r.rate_start_ms = t0;
    for (int k = 1; k <= 30; ++k) {
        at_ms(t0 + 1000 * k);
        r.lead = 16384 + 900 * k;  // a full window framed and not yet acknowledged
        r.crossed = 900 * k;
        r.lead_ms = r.crossed_ms = t0 + 1000 * k;
        update_rates(&r, &f, r.crossed);
    }
    EXPECT_EQ(r.current_rate, 900);
    EXPECT_EQ(r.average_rate, 900);
}

// The clock of a direction started at the first refresh that counted bytes, with more than
// a second of them already moved, and the upload's at the first acknowledgement: the rates
// showed more than the line carried. On a line of 512 bytes a second neither may pass it,
// on the screen or in the log, and a log line has its file's own rate.
TEST_F(Stats, RatesNeverPassWhatTheLineCarried) {
    const int64_t line_rate = 512;
    std::vector<int32_t> shown;
    auto look = [&](int64_t ms) {
        at_ms(ms);
        watch_line();
        refresh_statistics();
        for (const rate_state* r : {&stats.download, &stats.upload}) {
            shown.push_back(r->average_rate);
            shown.push_back(r->current_rate);
        }
    };
    // Both directions accepted at 10 s: 3,072 bytes to come, 2,048 to go.
    at_ms(10000);
    peer(CH_OFFERS, offer_record(3072, "down"));
    decide_offer();
    receive_data();
    upload_in_data_channels();
    look(10040);
    channels.send_channels[16]->in_flight = 1024;  // both upload blocks go into frames
    channels.send_channels[17]->in_flight = 1024;
    look(10050);
    // A block lands every two seconds; the upload's blocks are acknowledged as they land.
    for (int k = 1; k <= 3; ++k) {
        peer(CH_DATA_FIRST + k - 1, random_bytes(1024, k));
        if (k < 3) wire(CH_DATA_FIRST + k - 1);
        look(10040 + 2000 * k + 10);
        receive_data();
        if (k == 2) {
            peer(CH_STATUS, "c");
            status_receiver();
        }
        look(10040 + 2000 * k + 960);
    }
    for (int32_t rate : shown) EXPECT_LE(rate, line_rate);
    EXPECT_GT(stats.download.average_rate, line_rate * 3 / 4);
    EXPECT_GT(stats.upload.average_rate, line_rate * 3 / 4);
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        int cps = std::stoi(line.substr(line.find("bps ") + 4, 4));
        EXPECT_LE(cps, line_rate) << line;
        EXPECT_GT(cps, line_rate * 3 / 4) << line;
    }
}

// The upload's "Bytes left" counted the bytes handed to the link: a file read into the
// data channels showed as done with most of it still to cross. It counts what the peer
// acknowledged, as "Done, left" does.
TEST_F(Stats, UploadBytesLeftCountsAcknowledgedBytes) {
    static std::map<int, int64_t> shown;  // row -> the upload column's figure
    static std::string done;
    display.figure = [](int row, int column, int64_t value) {
        if (column == UPLOAD_COLUMN) shown[row] = value;
    };
    display.done_left = [](int column, const char* text) {
        if (column == UPLOAD_COLUMN) done = text;
    };
    at_ms(10000);
    upload_in_data_channels();  // none of it acknowledged
    channels.send_channels[16]->in_flight = 1024;
    channels.send_channels[17]->in_flight = 1024;
    at_ms(11000);
    refresh_statistics();
    EXPECT_EQ(sending.stream.figures.file_bytes_left, 0);
    EXPECT_EQ(shown[FIRST_FIGURE_ROW], 2048);      // its size
    EXPECT_EQ(shown[FIRST_FIGURE_ROW + 1], 2048);  // its bytes left
    EXPECT_EQ(done, "0% --:--");                   // no rate yet
    wire(16);                                      // the first block acknowledged
    at_ms(12000);
    refresh_statistics();
    EXPECT_EQ(shown[FIRST_FIGURE_ROW + 1], 1024);
    EXPECT_EQ(shown[FIRST_FIGURE_ROW + 5], 1024);  // the batch's bytes left
    EXPECT_EQ(done, "50% 0:02");                   // at the rate so far, 512 bytes a second
}

// The name of the next file stood for up to a second beside the size and bytes left of the
// one before: the figures follow a change of the current file in the same cycle.
TEST_F(Stats, FileFiguresFollowTheNameShownAtOnce) {
    static std::map<int, int64_t> shown;
    display.figure = [](int row, int column, int64_t value) {
        if (column == DOWNLOAD_COLUMN) shown[row] = value;
    };
    at_ms(30000);
    refresh_statistics();
    file_entry* next = entry("next", 3000);
    receiving.stream.current = next;
    receiving.stream.figures.files_left = 1;
    show_download_name();
    EXPECT_FALSE(refresh_statistics());  // the same second: no rates, no bell
    EXPECT_EQ(shown[FIRST_FIGURE_ROW], 3000);
    EXPECT_EQ(shown[FIRST_FIGURE_ROW + 1], 3000);
    receiving.stream.current = nullptr;
    free_entry(next);
}

// A long session passes 2 GiB: the link's byte counts and the rates stay whole.
TEST_F(Stats, ByteCountsPastTwoGibibytesStayWhole) {
    static int64_t received_shown = 0;
    display.figure = [](int row, int column, int64_t value) {
        if (row == LINK_FIRST_ROW + 4 && column == LINK_COLUMN) received_shown = value;
    };
    receiving.stream.figures.files_left = 1;
    receiving.stream.figures.bytes_moved = 1;
    at_ms(2000000);
    stats.download.rate_start_ms = serial.clock_ms;  // the batch's first byte
    refresh_statistics();
    serial.bytes_read = 3LL << 30;
    receiving.stream.figures.bytes_moved = 3LL << 30;
    at_ms(2100000);
    refresh_statistics();
    EXPECT_EQ(received_shown, 3LL << 30);
    EXPECT_EQ(stats.download.average_rate, (3LL << 30) / 100);
}

TEST_F(Stats, EveryLetterHasItsMessageAndOthersAreFreedSilently) {
    const std::pair<char, const char*> table[] = {
        {'0', "Upload aborted"},           {'1', "File read error"},
        {'2', "File open error"},          {'3', "File size error"},
        {'4', "Download aborted"},         {'5', "File write error"},
        {'e', "File already exist"},       {'i', "Duplicate file ignored"},
        {'m', "Requested file not found"}, {'p', "Download request denied"},
        {'q', "Upload request denied"},    {'t', "Too many files to transfer"},
        {'x', "File already transferred"}, {'N', "File name too long"}};
    char detail[PATH_SIZE];
    const char* message = nullptr;
    for (const auto& [letter, text] : table) {
        file_entry* e = entry("dir/my file.txt", 1, static_cast<uint8_t>(letter));
        ASSERT_TRUE(result_text(e, &message, detail, sizeof detail)) << letter;
        EXPECT_STREQ(message, text);
        // The whole name; a name taken says which options would have taken the file.
        EXPECT_STREQ(detail, letter == 'e' ? "dir/my file.txt: -o overwrites, -R renames"
                                           : "dir/my file.txt");
        free_entry(e);
    }
    receiving.stream.figures.total_files = 12;
    sending.stream.figures.total_files = 1;
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

// Random data showed "x0.9" at both ends while the cable counted x0.99: tenths cut short.
TEST(Saving, RatiosBelowOneShowHundredths) {
    char text[DONE_TEXT_SIZE];
    format_saving(text, sizeof text, 99000, 100000);
    EXPECT_STREQ(text, "x0.99");
    format_saving(text, sizeof text, 41000, 10000);
    EXPECT_STREQ(text, "x4.1");
    format_saving(text, sizeof text, 0, 0);
    EXPECT_STREQ(text, "");
}
