// The receiving side against real channels: offers decided, data written, the abort.
#include <sys/resource.h>

#include <csignal>

#include "transfer_fixture.h"

namespace {

class Receiving : public Transfer {
protected:
    // The peer's data stream, cut into slices the way its sending side cuts it.
    int feed_channel = CH_DATA_FIRST;
    int feed_left = SLICE_SIZE;

    void feed(const std::string& data) {
        size_t at = 0;
        while (at < data.size()) {
            size_t n = std::min<size_t>(static_cast<size_t>(feed_left), data.size() - at);
            peer(feed_channel, data.substr(at, n));
            at += n;
            feed_left -= static_cast<int>(n);
            if (feed_left == 0) {
                feed_left = SLICE_SIZE;
                feed_channel = feed_channel == CH_DATA_LAST ? CH_DATA_FIRST : feed_channel + 1;
            }
        }
    }
    static std::string answer(const std::string& record) {
        peer(CH_OFFERS, record);
        decide_offer();
        return wire(CH_STATUS);
    }
    static void cycles(int n = 32) {
        for (int i = 0; i < n; ++i) receive_data();
    }
    static std::vector<std::string> waiting_names() {
        std::vector<std::string> out;
        for (const file_entry* e = receiving.receive_queue.head; e != nullptr; e = e->next)
            out.push_back(e->name);
        return out;
    }
};

TEST_F(Receiving, NewFileIsCreated0644WrittenLoggedAndConfirmed) {
    settings.exit_status = EXIT_DOWNLOADS_OUTSTANDING;
    EXPECT_EQ(answer(offer_record(2500, "some/dir/new.bin")), "u");
    EXPECT_EQ(waiting_names(), std::vector<std::string>{"new.bin"});
    EXPECT_TRUE(cycle.activity_seen);
    std::string data = random_bytes(2500, 11);
    feed(data.substr(0, 500));
    receive_data();  // opens
    receive_data();  // a piece is read only when all of it is there
    EXPECT_EQ(recv_queued(16), 500);
    feed(data.substr(500));
    cycles();
    EXPECT_EQ(file_text("new.bin"), data);
    struct stat st {};
    ASSERT_EQ(stat("new.bin", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(log_lines(), std::vector<std::string>{
                               "S   2500     0 bps 9999 cps   0 errors     0 1024 new.bin 0"});
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "c");
    EXPECT_EQ(finished(), std::vector<std::string>{"D:new.bin"});
    EXPECT_EQ(settings.exit_status, 0);
}

TEST_F(Receiving, ExistingFilesAreResumedSkippedOrRefusedBySize) {
    std::string data = random_bytes(5000, 12);
    put_file("f", data.substr(0, 1000));
    EXPECT_EQ(answer(offer_record(5000, "f")), "r" + std::string("\xE8\x03\x00\x00", 4));
    feed(data.substr(1000));
    cycles();
    EXPECT_EQ(file_text("f"), data);

    put_file("g", std::string(1000, 'g'));
    EXPECT_EQ(answer(offer_record(1000, "g")), "x");
    put_file("h", std::string(1000, 'h'));
    EXPECT_EQ(answer(offer_record(500, "h")), "e");
    EXPECT_EQ(finished(), (std::vector<std::string>{"x:g", "e:h"}));
    EXPECT_EQ(file_text("h"), std::string(1000, 'h'));
    EXPECT_TRUE(log_lines().size() == 1);  // only f's 'S': refusals log with -X alone
}

TEST_F(Receiving, LongerFilesAreOverwrittenOrRenamedByOption) {
    put_file("h", std::string(1000, 'h'));
    settings.overwrite_existing = 1;
    EXPECT_EQ(answer(offer_record(500, "h")), "u");
    EXPECT_FALSE(exists("h"));
    settings.overwrite_existing = 0;

    settings.rename_existing = 1;
    for (const char* n : {"base", "base.0", "base.1"}) put_file(n, std::string(900, 'b'));
    EXPECT_EQ(answer(offer_record(500, "base")), "u");
    EXPECT_EQ(waiting_names().back(), "base.2");
    queue_free_all(&receiving.receive_queue);  // otherwise base.2 is a duplicate
    for (int i = 2; i <= 999; ++i) put_file("base." + std::to_string(i), std::string(900, 'b'));
    EXPECT_EQ(answer(offer_record(500, "base")), "e");  // .0 to .999 all taken

    settings.rename_existing = 0;
    settings.resume_check = 0;
    put_file("w", "short");
    EXPECT_EQ(answer(offer_record(500, "w")), "e");  // -w: any existing file is taken
}

TEST_F(Receiving, RefusedWithoutUploadsAndLoggedWithRefusalsOn) {
    settings.accept_uploads = 0;
    settings.log_refusals = 1;
    stats.upload.average_rate = 321;
    stats.download.average_rate = 5;
    EXPECT_EQ(answer(offer_record(77, "file with blank")), "q");
    EXPECT_EQ(finished(), std::vector<std::string>{"q:file with blank"});
    EXPECT_EQ(log_lines(), std::vector<std::string>{
                               "E     77     0 bps  321 cps   0 errors     0 1024 file 0"});
}

TEST_F(Receiving, ReceiveNamesUsedInOrderThenTooManyFiles) {
    settings.name_mode = 'd';
    add_argument_name("dl/");
    add_receive_name("first.out");
    add_receive_name("sub/second.out");
    EXPECT_EQ(answer(offer_record(1, "a")), "u");
    EXPECT_EQ(answer(offer_record(1, "b")), "u");
    EXPECT_EQ(answer(offer_record(1, "c")), "t");
    EXPECT_EQ(waiting_names(), (std::vector<std::string>{"dl/first.out", "sub/second.out"}));
    EXPECT_TRUE(finished().empty());
}

TEST_F(Receiving, DuplicatesAreIgnoredWhileWaitingOrBeingWritten) {
    EXPECT_EQ(answer(offer_record(3000, "Dup.txt")), "u");
    EXPECT_EQ(answer(offer_record(3000, "dup.TXT")), "i");
    receive_data();  // now open and being written
    feed(random_bytes(1024, 1));
    receive_data();
    EXPECT_EQ(answer(offer_record(3000, "DUP.txt")), "i");
    EXPECT_EQ(finished(), (std::vector<std::string>{"i:dup.TXT", "i:DUP.txt"}));
}

TEST_F(Receiving, PeerNamesLandUnderTheirBaseNameInTheDownloadDirectoryOnly) {
    settings.name_mode = 'd';
    add_argument_name("dl/");
    add_argument_name("extra/");
    std::filesystem::create_directories("dl");
    std::filesystem::create_directories("extra");
    put_file("extra/taken.txt", "x");
    EXPECT_EQ(answer(offer_record(1, "../x1")), "u");
    EXPECT_EQ(answer(offer_record(1, "/tmp/x2")), "u");
    EXPECT_EQ(answer(offer_record(1, "a/b/../../x3")), "u");
    EXPECT_EQ(answer(offer_record(1, "taken.txt")), "e");  // found in an extra directory
    EXPECT_EQ(waiting_names(), (std::vector<std::string>{"dl/x1", "dl/x2", "dl/x3"}));
    feed("123");
    cycles();
    EXPECT_EQ(file_text("dl/x1") + file_text("dl/x2") + file_text("dl/x3"), "123");

    for (const char* bad : {"..", "", "x/..", "sub/", "."})
        EXPECT_EQ(answer(offer_record(1, bad)), "q") << bad;
    EXPECT_EQ(answer(offer_record(1, "a\nb")), "q");
    EXPECT_EQ(answer(offer_record(-1, "negative")), "q");
    EXPECT_EQ(finished().back(), "q:negative");
    EXPECT_EQ(finished()[finished().size() - 2], "q:a?b");
    EXPECT_FALSE(exists("dl/negative"));
}

TEST_F(Receiving, TwoFilesReadTheSlicesInStep) {
    std::string a = random_bytes(700, 21), b = random_bytes(600, 22);
    EXPECT_EQ(answer(offer_record(700, "a")), "u");
    EXPECT_EQ(answer(offer_record(600, "b")), "u");
    peer(16, a);
    peer(16, b.substr(0, 324));
    peer(17, b.substr(324));
    cycles();
    EXPECT_EQ(file_text("a"), a);
    EXPECT_EQ(file_text("b"), b);
    EXPECT_EQ(receiving.receive_channel, 17);
    EXPECT_EQ(receiving.receive_slice_left, 1024 - 276);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "cc");
    EXPECT_EQ(finished(), std::vector<std::string>{"D:b"});
}

TEST_F(Receiving, NamesWithBlanksAreStoredWholeAndLoggedCut) {
    EXPECT_EQ(answer(offer_record(3, "my file.txt")), "u");
    EXPECT_EQ(answer(offer_record(2, "my notes.txt")), "u");
    EXPECT_EQ(answer(offer_record(1, "two  blanks ")), "u");
    feed("abcdeZ");
    cycles();
    EXPECT_EQ(file_text("my file.txt"), "abc");
    EXPECT_EQ(file_text("my notes.txt"), "de");
    EXPECT_EQ(file_text("two  blanks "), "Z");
    EXPECT_FALSE(exists("my"));
    ASSERT_EQ(log_lines().size(), 3u);
    EXPECT_EQ(log_lines()[0], "S      3     0 bps 9999 cps   0 errors     0 1024 my 0");
}

TEST_F(Receiving, WriteFailureAbortsAndTheExchangeRecovers) {
    add_request_name("pending");
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(answer(offer_record(2500, "big")), "u");
    receive_data();
    feed(random_bytes(2500, 31));
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    receive_data();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(finished(), std::vector<std::string>{"5:big"});
    EXPECT_EQ(count(files.request_queue), 0);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "a");
    EXPECT_EQ(receiving.download_abort_state, 2);
    send_requests();
    EXPECT_EQ(wire(CH_REQUESTS), "");

    peer(CH_STATUS, "b");
    status_receiver();
    EXPECT_EQ(recv_queued(17), 0);
    EXPECT_EQ(receiving.receive_channel, 16);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");
    EXPECT_EQ(receiving.download_abort_state, 0);
    EXPECT_EQ(answer(offer_record(1, "after")), "u");
}

TEST_F(Receiving, PeerAbortKeepsOrDeletesThePartialFileByOption) {
    EXPECT_EQ(answer(offer_record(3000, "part")), "u");
    receive_data();
    feed(random_bytes(1024, 41));
    receive_data();
    peer(CH_STATUS, "b");
    status_receiver();
    EXPECT_EQ(finished(), std::vector<std::string>{"4:part"});
    EXPECT_EQ(file_text("part").size(), 1024u);
    EXPECT_TRUE(log_lines().empty());

    settings.delete_partial = 1;
    status_sender();
    wire(CH_STATUS);
    feed_channel = CH_DATA_FIRST;
    feed_left = SLICE_SIZE;
    EXPECT_EQ(answer(offer_record(3000, "part2")), "u");
    receive_data();
    feed(random_bytes(1024, 42));
    receive_data();
    peer(CH_STATUS, "b");
    status_receiver();
    EXPECT_FALSE(exists("part2"));
}

TEST_F(Receiving, FilesChangedBeforeReceptionAbortWithoutHarmingThem) {
    put_file("grow", std::string(1000, 'g'));
    EXPECT_EQ(answer(offer_record(5000, "grow")), "r" + le32(1000));
    put_file("grow", std::string(1200, 'g'));
    settings.delete_partial = 1;
    settings.log_refusals = 1;
    receive_data();
    EXPECT_EQ(finished(), std::vector<std::string>{"3:grow"});
    EXPECT_EQ(file_text("grow").size(), 1200u);  // held before this run: never deleted
    EXPECT_EQ(log_lines(), std::vector<std::string>{
                               "E   5000     0 bps 9999 cps   0 errors     0 1024 grow 0"});

    receiving.download_abort_state = 0;
    EXPECT_EQ(answer(offer_record(10, "appeared")), "u");
    put_file("appeared", "mine");
    receive_data();
    EXPECT_EQ(finished().back(), "2:appeared");
    EXPECT_EQ(file_text("appeared"), "mine");
}

TEST_F(Receiving, RequestsAreSentWholeAndAnswersTakenInOrder) {
    add_request_name(std::string(512, 'L').c_str());
    add_request_name("wanted one");
    add_request_name(std::string(511, 'M').c_str());
    send_requests();
    EXPECT_EQ(wire(CH_REQUESTS), std::string("wanted one") + '\0');  // the 511 waits for room
    EXPECT_EQ(finished().size(), 1u);
    EXPECT_EQ(finished()[0].substr(0, 3), "N:L");
    send_requests();
    EXPECT_EQ(wire(CH_REQUESTS), std::string(511, 'M') + '\0');
    queue_free_all(&finished_queue);

    peer(CH_STATUS, "dm");
    status_receiver();
    ASSERT_EQ(finished().size(), 1u);
    EXPECT_EQ(finished()[0], "m:" + std::string(511, 'M'));
    peer(CH_STATUS, "p");  // nothing left to answer: ignored
    status_receiver();
    EXPECT_EQ(finished().size(), 1u);
}

}  // namespace
