// The sending side against real channels: offers, answers, data slices, the abort.
#include "transfer_fixture.h"

namespace {

class Sending : public Transfer {
protected:
    // Offers every queued local file and accepts them with the given answers.
    void offer_and_answer(const std::string& answers) {
        send_offers();
        wire(CH_OFFERS);
        peer(CH_STATUS, answers);
        status_receiver();
    }
    // Runs the data step until nothing more moves; returns what each data channel got.
    std::vector<std::string> pump_data(int cycles = 64) {
        std::vector<std::string> got(LINK_CHANNELS);
        for (int i = 0; i < cycles; ++i) {
            send_data();
            for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) got[ch] += wire(ch);
        }
        return got;
    }
    static std::string all_data(const std::vector<std::string>& got) {
        std::string s;
        for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) s += got[ch];
        return s;
    }
};

TEST_F(Sending, OfferAnnouncesTheWholeBaseNameAfterTheEntryHeader) {
    std::filesystem::create_directory("sub dir");
    put_file("sub dir/my file.txt", "hello");
    ASSERT_EQ(add_upload_name("sub dir/my file.txt", 1), 1);
    const file_entry* e = files.upload_queue.head;
    std::string header(reinterpret_cast<const char*>(&e->time), 8);
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS), header + std::string("my file.txt") + std::string(1, '\0'));
    EXPECT_EQ(count(sending.offered_queue), 1);
    int32_t size = 0;
    memcpy(&size, header.data() + 4, 4);
    EXPECT_EQ(size, 5);
}

TEST_F(Sending, OverLongNameFinishesLocallyAndTheLongestThatFitsIsSentWhole) {
    file_entry* too_long = new_entry(("d/" + std::string(504, 'n')).c_str());
    file_entry* fits = new_entry(("d/" + std::string(503, 'f')).c_str());
    queue_append(&files.upload_queue, too_long);
    queue_append(&files.upload_queue, fits);
    send_offers();
    std::string record = wire(CH_OFFERS);
    EXPECT_EQ(record.size(), 512u);
    EXPECT_EQ(record.substr(8), std::string(503, 'f') + std::string(1, '\0'));
    ASSERT_EQ(finished().size(), 1u);
    EXPECT_EQ(finished()[0][0], 'N');
    EXPECT_EQ(wire(CH_STATUS), "");  // nothing about it goes to the peer
    const char* message = nullptr;
    char detail[PATH_SIZE];
    ASSERT_TRUE(result_text(finished_queue.head, &message, detail, sizeof detail));
    EXPECT_STREQ(message, "File name too long");
}

TEST_F(Sending, SlicesRunOverChannelsAndTheNextFileContinuesTheSlice) {
    std::string a = random_bytes(2500, 1), b = random_bytes(1500, 2);
    put_file("a", a);
    put_file("b", b);
    add_upload_name("a", 1);
    add_upload_name("b", 1);
    offer_and_answer("uu");
    EXPECT_EQ(sending.figures.files_left, 2);
    EXPECT_EQ(sending.figures.total_bytes, 4000);
    EXPECT_TRUE(cycle.activity_seen);

    send_data();  // opens the file; its data goes in the next cycle
    EXPECT_EQ(all_data(pump_data(0)), "");
    std::vector<std::string> got = pump_data();
    EXPECT_EQ(got[16], a.substr(0, 1024));
    EXPECT_EQ(got[17], a.substr(1024, 1024));
    EXPECT_EQ(got[18], a.substr(2048) + b.substr(0, 572));
    EXPECT_EQ(got[19], b.substr(572));
    EXPECT_EQ(sending.figures.bytes_moved, 4000);
    EXPECT_EQ(sending.current_outgoing, nullptr);
    EXPECT_EQ(count(sending.in_transit_queue), 2);  // both wait for "c"
}

TEST_F(Sending, ResumeOffsetSplitOverCyclesStartsAtThatByte) {
    std::string a = random_bytes(5000, 3);
    put_file("a", a);
    add_upload_name("a", 1);
    offer_and_answer("r\xE8");
    EXPECT_EQ(count(sending.send_queue), 0);
    peer(CH_STATUS, std::string("\x03\0\0", 3));
    status_receiver();
    ASSERT_EQ(count(sending.send_queue), 1);
    EXPECT_EQ(sending.send_queue.head->offset, 1000);
    EXPECT_EQ(all_data(pump_data()), a.substr(1000));
}

TEST_F(Sending, PeerAnswersFinishEntriesWithLogLinesAsSpecified) {
    for (const char* n : {"x", "e", "i", "q", "t"}) {
        put_file(n, "data");
        add_upload_name(n, 1);
    }
    settings.delete_sent = 1;
    offer_and_answer("xeiqt");
    EXPECT_EQ(finished(), (std::vector<std::string>{"x:x", "e:e", "i:i", "q:q", "t:t"}));
    EXPECT_FALSE(exists("x"));  // -y deletes what the peer already has
    EXPECT_TRUE(exists("e"));
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 3u);  // "x" never logs, "e" only with -X
    EXPECT_EQ(lines[0], "e      4     0 bps 9999 cps   0 errors     0 1024 i 0");
    EXPECT_EQ(lines[2].substr(0, 2), "e ");
    // An answer with no offer left is ignored.
    peer(CH_STATUS, "q");
    status_receiver();
    EXPECT_EQ(finished().size(), 5u);
}

TEST_F(Sending, ConfirmationsLogAndTheLastCompletesTheBatch) {
    put_file("a", "0123456789");
    put_file("b", "");
    settings.exit_status = EXIT_UPLOADS_OUTSTANDING | EXIT_DOWNLOADS_OUTSTANDING;
    settings.delete_sent = 1;
    add_upload_name("a", 1);
    add_upload_name("b", 1);
    offer_and_answer("uu");
    pump_data();
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_TRUE(finished().empty());
    EXPECT_EQ(settings.exit_status & EXIT_UPLOADS_OUTSTANDING, EXIT_UPLOADS_OUTSTANDING);
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_EQ(finished(), std::vector<std::string>{"U:b"});
    EXPECT_EQ(settings.exit_status, EXIT_DOWNLOADS_OUTSTANDING);
    EXPECT_EQ(log_lines(), (std::vector<std::string>{
                               "s     10     0 bps 9999 cps   0 errors     0 1024 a 0",
                               "s      0     0 bps 9999 cps   0 errors     0 1024 b 0"}));
    EXPECT_FALSE(exists("a"));
    EXPECT_FALSE(exists("b"));
    const char* message = nullptr;
    char detail[64];
    ASSERT_TRUE(result_text(finished_queue.head, &message, detail, sizeof detail));
    EXPECT_STREQ(message, "Upload completed");
    EXPECT_STREQ(detail, "2 file(s) sent");
}

TEST_F(Sending, ConfirmationOfTheFileStillBeingReadIsIgnored) {
    std::string a = random_bytes(5000, 4);
    put_file("a", a);
    add_upload_name("a", 1);
    offer_and_answer("u");
    send_data();
    send_data();
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_NE(sending.current_outgoing, nullptr);
    EXPECT_EQ(sending.figures.files_left, 1);
    EXPECT_TRUE(log_lines().empty());
    EXPECT_EQ(all_data(pump_data()), a);
}

TEST_F(Sending, PeerAbortDropsEverythingLogsAndAnswersB) {
    put_file("a", random_bytes(100, 5));
    put_file("b", random_bytes(3000, 6));
    put_file("c", random_bytes(50, 7));
    put_file("d", random_bytes(70, 8));
    for (const char* n : {"a", "b", "c", "d"}) add_upload_name(n, 1);
    offer_and_answer("uuu");  // d stays offered
    send_data();  // open a
    send_data();  // a whole, b opened
    send_data();  // first slice of b
    peer(CH_REQUESTS, "partial");
    serve_request();
    peer(CH_STATUS, "a");
    status_receiver();
    EXPECT_EQ(finished(), std::vector<std::string>{"0:b"});
    EXPECT_EQ(log_lines(), (std::vector<std::string>{
                               "e    100     0 bps 9999 cps   0 errors     0 1024 a 0",
                               "e    924     0 bps 9999 cps   0 errors     0 1024 b 0",
                               "e     50     0 bps 9999 cps   0 errors     0 1024 c 0"}));
    EXPECT_EQ(count(sending.offered_queue) + count(sending.send_queue) + count(sending.in_transit_queue), 0);
    EXPECT_EQ(sending.send_channel, 16);
    EXPECT_EQ(send_queued(17), 0);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "b");

    // Nothing is offered, and late answers are dropped (an offset holding a 'u' too).
    put_file("e", "late");
    add_upload_name("e", 1);
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS), "");
    peer(CH_STATUS, "r" + le32(0x75));
    status_receiver();
    EXPECT_EQ(sending.figures.files_left, 0);
    // The partial request was dropped with the abort.
    peer(CH_REQUESTS, std::string("x\0", 2));
    serve_request();
    EXPECT_EQ(finished().back(), "p:x");

    peer(CH_STATUS, "o");
    status_receiver();
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS).substr(8), std::string("e\0", 2));
}

TEST_F(Sending, OpenReadAndSeekFailuresAbortTheSendingSide) {
    put_file("gone", "abc");
    add_upload_name("gone", 1);
    offer_and_answer("u");
    std::filesystem::remove("gone");
    send_data();
    EXPECT_EQ(finished(), std::vector<std::string>{"2:gone"});
    EXPECT_EQ(sending.upload_abort_state, 1);
    queue_free_all(&finished_queue);
    sending = send_state{};

    put_file("short", random_bytes(3000, 9));
    add_upload_name("short", 1);
    offer_and_answer("u");
    send_data();
    truncate("short", 10);
    send_data();
    EXPECT_EQ(finished(), std::vector<std::string>{"1:short"});
    queue_free_all(&finished_queue);
    sending = send_state{};

    put_file("far", "12345");
    add_upload_name("far", 1);
    offer_and_answer("r" + le32(6));  // beyond the end: no negative byte count
    send_data();
    EXPECT_EQ(finished(), std::vector<std::string>{"3:far"});
    EXPECT_EQ(sending.figures.bytes_left, 0);
}

TEST_F(Sending, RequestsAnsweredOnePerCycle) {
    peer(CH_REQUESTS, std::string("foo\0bar\0", 8));
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "p");
    EXPECT_EQ(finished(), std::vector<std::string>{"p:foo"});
    queue_free_all(&finished_queue);
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "p");
    queue_free_all(&finished_queue);

    settings.serve_requests = 1;
    put_file("have.txt", "x");
    peer(CH_REQUESTS, std::string("../elsewhere/have.txt") + '\0' + "missing" + '\0');
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "d");
    ASSERT_EQ(count(files.upload_queue), 1);
    EXPECT_STREQ(files.upload_queue.head->name, "have.txt");
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "m");
    EXPECT_EQ(finished(), std::vector<std::string>{"m:missing"});
}

TEST_F(Sending, ClosingTheSendingSideLogsTheNextFileAsSpecified) {
    put_file("a", "aaaa");
    put_file("b", "bbbbbb");
    add_upload_name("a", 1);
    add_upload_name("b", 1);
    close_outgoing();  // only queued: the first, with size 0
    send_offers();
    close_outgoing();  // offered: the first, with size 0
    peer(CH_STATUS, "uu");
    status_receiver();
    close_outgoing();  // accepted: the first, with its size
    EXPECT_EQ(log_lines(), (std::vector<std::string>{
                               "e      0     0 bps 9999 cps   0 errors     0 1024 a 0",
                               "e      0     0 bps 9999 cps   0 errors     0 1024 a 0",
                               "e      0     0 bps 9999 cps   0 errors     0 1024 a 0"}));
    // Each close set a's size to 0, which its offer then carried; b keeps its own.
    free_entry(queue_pop(&sending.send_queue));
    close_outgoing();
    EXPECT_EQ(log_lines().back(), "e      6     0 bps 9999 cps   0 errors     0 1024 b 0");
}

TEST_F(Sending, DrainActsOnLettersDeliveredBeforeThePeersGoodbye) {
    put_file("a", "abc");
    settings.exit_status = EXIT_UPLOADS_OUTSTANDING;
    add_upload_name("a", 1);
    offer_and_answer("u");
    pump_data();
    peer(CH_STATUS, "c");
    drain_status_channel();
    EXPECT_EQ(settings.exit_status, 0);
    EXPECT_EQ(finished(), std::vector<std::string>{"U:a"});
}

}  // namespace
