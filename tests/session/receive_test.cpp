// The receiving side against real channels: offers decided, data written, the abort.
#include <sys/file.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "batch_frame.h"
#include "session/outcome.h"
#include "transfer_fixture.h"

namespace {

class Receiving : public Transfer {
   protected:
    // The peer's data stream, cut into slices as its sending side cuts it.
    int feed_channel = CH_DATA_FIRST;
    int feed_left = SLICE_SIZE;

    void feed(const std::string& data) {
        for (size_t at = 0, n = 0; at < data.size(); at += n) {
            n = std::min<size_t>(static_cast<size_t>(feed_left), data.size() - at);
            peer(feed_channel, data.substr(at, n));
            if ((feed_left -= static_cast<int>(n)) == 0) {
                feed_left = SLICE_SIZE;
                feed_channel = feed_channel == CH_DATA_LAST ? CH_DATA_FIRST : feed_channel + 1;
            }
        }
    }
    static std::string answer(int32_t size, const std::string& name) {
        peer(CH_OFFERS, offer_record(size, name));
        decide_offer();
        return wire(CH_STATUS);
    }
    static std::string extended_answer(const std::string& content, const std::string& name,
                                       int64_t mtime = 0) {
        peer(CH_OFFERS, extended_offer(content, name, mtime));
        decide_offer();
        return wire(CH_STATUS);
    }
    static time_t mtime_of(const char* path) {
        struct stat st {};
        return stat(path, &st) == 0 ? st.st_mtime : -1;
    }
    // One zstd frame holding the data, as a compressing sender makes it.
    static std::string frame(const std::string& data) {
        zframe_out z;
        EXPECT_EQ(zout_begin(&z, static_cast<int64_t>(data.size()), 3), 0);
        std::string out;
        for (size_t fed = 0; !zout_done(&z);) {
            int want = zout_wants(&z);
            zout_feed(&z, reinterpret_cast<const uint8_t*>(data.data()) + fed, want);
            fed += static_cast<size_t>(want);
            const uint8_t* bytes = nullptr;
            int n = zout_pending(&z, &bytes);
            out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
            zout_taken(&z, n);
        }
        zframe_free(&z, nullptr);
        return out;
    }
    static void cycles(int n = 32) {
        for (int i = 0; i < n; ++i) receive_data();
    }
    static std::vector<std::string> waiting() {
        std::vector<std::string> out;
        for (const file_entry* e = receiving.receive_queue.head; e != nullptr; e = e->next)
            out.push_back(e->name);
        return out;
    }
};

TEST_F(Receiving, NewFileIsCreated0644WrittenLoggedAndConfirmed) {
    process.exit_status = EXIT_DOWNLOADS_OUTSTANDING;
    EXPECT_EQ(answer(2500, "some/dir/new.bin"), "u");
    EXPECT_TRUE(activity.activity_seen);
    std::string data = random_bytes(2500, 11);
    feed(data.substr(0, 500));
    cycles(2);  // opened; a piece is read only when all of it is there
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
    EXPECT_EQ(process.exit_status, 0);
}

TEST_F(Receiving, ExistingFilesAreResumedSkippedReplacedRenamedOrRefused) {
    std::string data = random_bytes(5000, 12);
    put_file("f", data.substr(0, 1000));
    EXPECT_EQ(answer(5000, "f"), "r" + std::string("\xE8\x03\x00\x00", 4));
    feed(data.substr(1000));
    cycles();
    EXPECT_EQ(file_text("f"), data);
    put_file("g", std::string(1000, 'g'));
    EXPECT_EQ(answer(1000, "g"), "x");
    EXPECT_EQ(answer(500, "g"), "e");
    EXPECT_EQ(file_text("g"), std::string(1000, 'g'));
    session.overwrite_existing = 1;
    EXPECT_EQ(answer(500, "g"), "u");
    EXPECT_FALSE(std::filesystem::exists("g"));
    session.overwrite_existing = 0;

    session.rename_existing = 1;
    for (const char* n : {"base", "base.0", "base.1"}) put_file(n, std::string(900, 'b'));
    EXPECT_EQ(answer(500, "base"), "u");
    EXPECT_EQ(waiting().back(), "base.2");
    queue_free_all(&receiving.receive_queue);  // otherwise base.2 is a duplicate
    for (int i = 2; i <= 999; ++i) put_file("base." + std::to_string(i), std::string(900, 'b'));
    EXPECT_EQ(answer(500, "base"), "e");  // .0 to .999 all taken
    session.rename_existing = 0;

    session.resume_check = 0;
    put_file("w", "short");
    EXPECT_EQ(answer(500, "w"), "e");  // -w: any existing file is taken
    session.accept_uploads = 0;
    session.log_refusals = 1;
    stats.upload.average_rate = 321;
    EXPECT_EQ(answer(77, "with blank"), "q");
    EXPECT_EQ(finished(),
              (std::vector<std::string>{"x:g", "e:g", "e:base.999", "e:w", "q:with blank"}));
    EXPECT_EQ(log_lines().back(), "E     77     0 bps  321 cps   0 errors     0 1024 with 0");
}

TEST_F(Receiving, ReceiveNamesThenTooManyFilesAndDuplicatesIgnored) {
    files.name_mode = 'd';
    add_argument_name("dl/");
    add_receive_name("first.out");
    add_receive_name("sub/second.out");
    EXPECT_EQ(answer(3000, "a"), "u");
    EXPECT_EQ(answer(1, "b"), "u");
    EXPECT_EQ(answer(1, "c"), "t");  // and no local entry
    EXPECT_EQ(waiting(), (std::vector<std::string>{"dl/first.out", "sub/second.out"}));
    files.receive_names_given = 0;
    EXPECT_EQ(answer(1, "Dup"), "u");
    EXPECT_EQ(answer(1, "dUP"), "i");
    std::filesystem::create_directories("dl");
    cycles(1);  // dl/first.out open and being written
    EXPECT_EQ(answer(1, "../x/FIRST.out"), "i");
    EXPECT_EQ(finished(), (std::vector<std::string>{"i:dl/dUP", "i:dl/FIRST.out"}));
}

TEST_F(Receiving, PeerNamesLandUnderTheirBaseNameInTheDownloadDirectoryOnly) {
    files.name_mode = 'd';
    add_argument_name("dl/");
    add_argument_name("extra/");
    std::filesystem::create_directories("dl");
    std::filesystem::create_directories("extra");
    put_file("extra/taken.txt", "x");
    for (const char* name : {"../x1", "/tmp/x2", "a/b/../../x3"}) EXPECT_EQ(answer(1, name), "u");
    EXPECT_EQ(answer(1, "taken.txt"), "e");  // found in an extra directory
    feed("123");
    cycles();
    EXPECT_EQ(file_text("dl/x1") + file_text("dl/x2") + file_text("dl/x3"), "123");
    for (const char* bad : {"..", "", "x/..", "sub/", ".", "a\nb"})
        EXPECT_EQ(answer(1, bad), "q") << bad;
    EXPECT_EQ(answer(-1, "negative"), "q");
    // Refused with "q" on the wire; here it says why.
    EXPECT_EQ(finished()[finished().size() - 2], "n:a?b");  // shown without the control byte
    // DEL, C1 and direction marks are refused (raw C1 bytes are no UTF-8: kept, shown as '?').
    for (const char* bad :
         {"a\x7f", "a\xc2\x9b", "\xd8\x9c", "\xe2\x81\xa9", "\xe2\x80\xaegpj.exe"})
        EXPECT_EQ(answer(1, bad), "q") << bad;
    EXPECT_EQ(finished().back(), "n:?gpj.exe");
    for (const char* good : {"\xe2\x82\xac.zip", "a\x9b"}) EXPECT_EQ(answer(1, good), "u") << good;
}

TEST_F(Receiving, OfferOverflowingItsBufferIsFatalInternalErrorOne) {
    // A name of 1,023 bytes and its NUL fill the buffer exactly; one byte more is fatal.
    std::string record = offer_record(5, std::string(1024, 'n'));
    peer(CH_OFFERS, record.substr(0, 1000));
    decide_offer();
    EXPECT_EQ(process.internal_error, 0);
    peer(CH_OFFERS, record.substr(1000));
    EXPECT_EQ(end_code(decide_offer), process.exit_status);
    EXPECT_EQ(process.internal_error, 1);
}

TEST_F(Receiving, OffersNearTheSizeLimitKeepTheFiguresInStep) {
    files.name_mode = 'd';
    add_argument_name("dl/");
    EXPECT_EQ(answer(2000000000, "huge1"), "u");
    EXPECT_EQ(answer(2000000000, "huge2"), "u");  // the sums pass the 32-bit range
    EXPECT_EQ(receiving.stream.figures.files_left, 2);
    on_peer_abort();
    EXPECT_EQ(receiving.stream.figures.bytes_left, 0);
}

TEST_F(Receiving, TwoFilesReadTheSlicesInStepAndNamesWithBlanksStayWhole) {
    std::string a = random_bytes(700, 21), b = random_bytes(600, 22);
    EXPECT_EQ(answer(700, "my file.txt"), "u");
    EXPECT_EQ(answer(600, "my notes.txt"), "u");
    peer(16, a + b.substr(0, 324));
    peer(17, b.substr(324));
    cycles();
    EXPECT_EQ(file_text("my file.txt"), a);
    EXPECT_EQ(file_text("my notes.txt"), b);
    EXPECT_FALSE(std::filesystem::exists("my"));
    EXPECT_EQ(receiving.stream.slice_left, 1024 - 276);
    EXPECT_EQ(log_lines()[0], "S    700     0 bps 9999 cps   0 errors     0 1024 my 0");
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "cc");
    EXPECT_EQ(finished(), std::vector<std::string>{"D:my notes.txt"});  // one end of batch
}

// Both ends compress: each file one zstd frame, frames run on in the slices, and a frame that
// holds another length than offered is never confirmed.
TEST_F(Receiving, CompressedFramesFollowOneAnotherAcrossSlicesAndAWrongLengthFails) {
    both_announce({.compress = true});
    std::string a(3000, 'a'), b = random_bytes(2000, 31);
    EXPECT_EQ(answer(3000, "a"), "u");
    EXPECT_EQ(answer(2000, "b"), "u");
    feed(frame(a) + frame(b).substr(0, 600));  // b's frame begins in a's slice
    cycles();
    EXPECT_EQ(file_text("a"), a);
    feed(frame(b).substr(600));  // and runs on into the next
    cycles();
    EXPECT_EQ(file_text("b"), b);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "cc");

    EXPECT_EQ(answer(101, "c"), "u");
    feed(frame(std::string(100, 'c')));
    cycles();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "a");      // no "c": the frame held 100 bytes of 101
    EXPECT_EQ(finished().back(), "6:c");  // the data, not the disk, failed
    on_peer_abort();  // the peer's "b": the stream starts afresh, mid-frame or not
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");
    // One that holds more writes nothing past the offered size: the file stays resumable.
    EXPECT_EQ(answer(100, "p"), "u");
    feed_channel = CH_DATA_FIRST;
    feed_left = SLICE_SIZE;
    feed(frame(std::string(101, 'p')));
    cycles();
    EXPECT_LE(file_text("p").size(), 100u);
    EXPECT_EQ(finished().back(), "6:p");
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "a");
    on_peer_abort();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");
    EXPECT_EQ(answer(4000, "d"), "u");
    feed_channel = CH_DATA_FIRST;
    feed_left = SLICE_SIZE;
    feed(frame(std::string(4000, 'd')));
    cycles();
    EXPECT_EQ(file_text("d"), std::string(4000, 'd'));
}

// Rings left holding whole pieces make the peer's next blocks bounce for want of room.
TEST_F(Receiving, OneCycleEmptiesTheRingsOfEveryWholePieceAndLeavesAPartialOne) {
    std::string data = random_bytes(32 * 1024 + 1000, 23);
    EXPECT_EQ(answer(static_cast<int32_t>(data.size()) + 10, "big"), "u");
    receive_data();  // opened
    feed(data.substr(0, 16 * 1024 + 500));
    receive_data();
    EXPECT_EQ(file_text("big").size(), 16u * 1024);
    EXPECT_EQ(recv_queued(16), 500);
    feed(data.substr(16 * 1024 + 500));
    receive_data();
    EXPECT_EQ(file_text("big"), data.substr(0, 32 * 1024));  // the partial last piece waits
}

TEST_F(Receiving, WriteFailureAbortsAndTheExchangeRecovers) {
    add_request_name("pending");
    session.delete_partial = 1;
    EXPECT_EQ(answer(2500, "big"), "u");
    receive_data();
    feed(random_bytes(2500, 31));
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    receive_data();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(finished(), std::vector<std::string>{"5:big"});
    EXPECT_FALSE(std::filesystem::exists("big"));  // -x: this run's partial file goes
    EXPECT_EQ(count(files.request_queue), 0);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "a");
    peer(CH_STATUS, "b");
    status_receiver();
    EXPECT_EQ(recv_queued(17), 0);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");
    EXPECT_EQ(receiving.stream.abort_state, 0);
    EXPECT_EQ(answer(1, "after"), "u");
    peer(CH_DATA_FIRST, "!");  // the abort emptied the data channels
    cycles();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "c");
    EXPECT_EQ(process.exit_status, EXIT_DOWNLOADS_OUTSTANDING);  // big stays broken for the run
}

TEST_F(Receiving, BrokenReceptionsKeepOrDeleteOnlyWhatThisRunWrote) {
    EXPECT_EQ(answer(3000, "part"), "u");
    receive_data();
    feed(random_bytes(1024, 41));
    receive_data();
    peer(CH_STATUS, "b");
    status_receiver();
    EXPECT_EQ(finished(), std::vector<std::string>{"4:part"});
    EXPECT_EQ(file_text("part").size(), 1024u);  // kept, and no log line
    EXPECT_TRUE(log_lines().empty());
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");

    session.delete_partial = 1;
    session.log_refusals = 1;
    put_file("grow", std::string(1000, 'g'));
    EXPECT_EQ(answer(5000, "grow"), "r" + le32(1000));
    put_file("grow", std::string(1200, 'g'));
    receive_data();
    EXPECT_EQ(finished().back(), "3:grow");
    EXPECT_EQ(file_text("grow").size(), 1200u);  // held before this run: never deleted
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{"E   5000     0 bps 9999 cps   0 errors     0 1024 grow 0"});
    receiving.stream.abort_state = 0;
    EXPECT_EQ(answer(10, "appeared"), "u");
    put_file("appeared", "mine");
    receive_data();
    EXPECT_EQ(finished().back(), "2:appeared");
    EXPECT_EQ(file_text("appeared"), "mine");
    receiving.stream.abort_state = 0;
    EXPECT_EQ(answer(10, "deleted"), "u");  // while received: never logged 'S', never confirmed
    receive_data();
    std::filesystem::remove("deleted");
    peer(CH_DATA_FIRST, std::string(10, 'd'));
    receive_data();
    EXPECT_EQ(finished().back(), "5:deleted");
    EXPECT_EQ(log_lines().back().substr(0, 9), "E     10 ");
}

TEST_F(Receiving, RequestsAreSentWholeAndAnswersTakenInOrder) {
    add_request_name(std::string(512, 'L').c_str());
    add_request_name("wanted one");
    add_request_name(std::string(511, 'M').c_str());
    send_requests();
    EXPECT_EQ(wire(CH_REQUESTS), std::string("wanted one") + '\0');  // the 511 waits for room
    send_requests();
    EXPECT_EQ(wire(CH_REQUESTS), std::string(511, 'M') + '\0');
    peer(CH_STATUS, "dmp");  // the "p" finds nothing left to answer
    status_receiver();
    ASSERT_EQ(finished().size(), 2u);
    EXPECT_EQ(finished()[0], "N:" + std::string(512, 'L'));
    EXPECT_EQ(finished()[1], "m:" + std::string(511, 'M'));
}

// Nothing is written through a link that stands under an offered name, whenever it came,
// and a peer's request never serves one; names the local user gives are followed.
TEST_F(Receiving, LinksAreTakenNamesAndNeverWrittenThroughOrServed) {
    put_file("outside/secret", "keep");
    std::filesystem::create_directories("dl");
    files.name_mode = 'd';
    add_argument_name("dl/");
    ASSERT_EQ(symlink("../outside/secret", "dl/sym"), 0);
    ASSERT_EQ(link("outside/secret", "dl/hard"), 0);
    ASSERT_EQ(symlink("../outside/new", "dl/dangling"), 0);
    ASSERT_EQ(symlink("../outside", "dl/dir"), 0);
    // Longer offers: each would have been resumed into the file outside, or created there.
    for (const char* name : {"sym", "hard", "dangling", "dir"})
        EXPECT_EQ(answer(10, name), "e") << name;
    session.rename_existing = 1;
    EXPECT_EQ(answer(10, "sym"), "u");
    EXPECT_EQ(waiting().back(), "dl/sym.0");
    ASSERT_EQ(symlink("../outside/secret", "dl/sym.0"), 0);  // planted after the answer
    receive_data();
    EXPECT_EQ(finished().back(), "2:dl/sym.0");
    EXPECT_EQ(file_text("outside/secret"), "keep");
    EXPECT_FALSE(std::filesystem::exists("outside/new"));

    session.serve_requests = 1;
    ASSERT_EQ(symlink("outside/secret", "served"), 0);
    peer(CH_REQUESTS, std::string("served") + '\0');
    serve_request();
    EXPECT_EQ(wire(CH_STATUS).back(), 'm');
    EXPECT_EQ(add_upload_name("served", 1), 1);
}

// Our own upload, queued, offered or in transit, and the transfer log are taken names
// whatever the offer calls them: never resumed into (a hybrid of two files, forged log
// lines), never deleted by -o.
TEST_F(Receiving, OfferOfAFileWeAreSendingIsATakenName) {
    std::string mine = random_bytes(3000, 51);
    put_file("mine", mine);
    add_upload_name(dir.path("mine").c_str(), 1);
    EXPECT_EQ(answer(5000, "mine"), "e");  // queued
    send_offers();
    wire(CH_OFFERS);
    session.overwrite_existing = 1;
    EXPECT_EQ(answer(50, "mine"), "e");  // offered
    EXPECT_EQ(answer(50, "log"), "e");
    peer(CH_STATUS, "u");
    status_receiver();
    send_data();
    ASSERT_EQ(count(sending.in_transit_queue), 1);
    session.rename_existing = 1;
    EXPECT_EQ(answer(5000, "mine"), "u");  // being sent
    EXPECT_EQ(waiting().back(), "mine.0");
    EXPECT_EQ(file_text("mine"), mine);
}

// "-d incoming/" with no incoming/ (the manual's own example) failed every file and the
// sender gave up its batch: the folder is made at the first file.
TEST_F(Receiving, MissingDownloadFolderIsMadeAtTheFirstFile) {
    files.name_mode = 'd';
    add_argument_name("incoming/");
    EXPECT_EQ(answer(10, "a"), "u");
    receive_data();
    EXPECT_TRUE(std::filesystem::is_directory("incoming"));
    EXPECT_EQ(receiving.stream.current->name, std::string("incoming/a"));
    EXPECT_TRUE(finished().empty());
}

// Failures that looked like success: a received file that cannot be created says why on
// standard error, unless standard error is the line; a served request that found nothing
// leaves no upload outstanding.
TEST_F(Receiving, UncreatableFilesSayWhyAndEmptyRequestsLeaveNoUploadOutstanding) {
    files.name_mode = 'd';
    add_argument_name("gone/deeper/");  // a download directory that cannot be made
    int saved_in = dup(0), saved_err = dup(2);
    int errors = open("errors", O_RDWR | O_CREAT | O_TRUNC, 0644);
    dup2(errors, 2);
    EXPECT_EQ(answer(10, "a"), "u");
    receive_data();
    dup2(errors, 0);  // standard error is now the door's line too
    receiving.stream.abort_state = ABORT_NONE;
    EXPECT_EQ(answer(10, "b"), "u");
    receive_data();
    dup2(saved_in, 0);
    dup2(saved_err, 2);
    for (int fd : {saved_in, saved_err, errors}) close(fd);
    EXPECT_EQ(finished(), (std::vector<std::string>{"2:gone/deeper/a", "2:gone/deeper/b"}));
    EXPECT_EQ(file_text("errors"),
              "kestro: cannot receive gone/deeper/a: cannot create the folder gone/deeper/: No "
              "such file or directory\n");
    // The screen hides standard error: the result line says why as well.
    const char* message = nullptr;
    char detail[PATH_SIZE];
    ASSERT_TRUE(result_text(finished_queue.head, &message, detail, sizeof detail));
    EXPECT_STREQ(detail,
                 "gone/deeper/a: cannot create the folder gone/deeper/: No such file or directory");
    EXPECT_EQ(process.exit_status, EXIT_DOWNLOADS_OUTSTANDING);  // broken downloads

    session.serve_requests = 1;
    peer(CH_REQUESTS, std::string("nothing") + '\0');
    serve_request();
    EXPECT_EQ(process.exit_status & EXIT_UPLOADS_OUTSTANDING, 0);
    put_file("found", "f");
    peer(CH_REQUESTS, std::string("found") + '\0');
    serve_request();
    EXPECT_EQ(process.exit_status & EXIT_UPLOADS_OUTSTANDING, EXIT_UPLOADS_OUTSTANDING);
}

// A confirmed file takes the offer's time: in door mode only when asked for (--times), and
// not when a field of the DOS time is out of range.
TEST_F(Receiving, ConfirmedFilesTakeTheOffersTimeWhenAsked) {
    const std::string bad_time = std::string("\xFF\xFF\x69\x22", 4) + le32(3) + "bad" + '\0';
    EXPECT_EQ(answer(3, "off"), "u");
    feed("abc");
    cycles();
    session.apply_times = 1;
    EXPECT_EQ(answer(3, "dos"), "u");
    peer(CH_OFFERS, bad_time);
    decide_offer();
    feed("defghi");
    cycles();
    wire(CH_STATUS);
    const time_t dos = static_cast<time_t>(dos_to_time(0x2269, 0x6DBD));  // 9 March 1997, 13:45:58
    EXPECT_NE(mtime_of("off"), dos);
    EXPECT_EQ(mtime_of("dos"), dos);
    EXPECT_GT(mtime_of("bad"), dos);  // left as written

    both_extended();
    EXPECT_EQ(extended_answer("xyz", "full", 4102444800), "u");  // 2100-01-01, beyond DOS times
    feed("xyz" + le64(digest_of("xyz")));
    cycles();
    EXPECT_EQ(mtime_of("full"), 4102444800);
    const int64_t year_1969 = -86400 * 365;  // times before 1970 are set too
    EXPECT_EQ(extended_answer("old", "old", year_1969), "u");
    feed("old" + le64(digest_of("old")));
    cycles();
    EXPECT_EQ(mtime_of("old"), year_1969);
}

// Both ends check whole files: a local file is hashed before the answer. Equal length is
// "x" only with the offer's digest; a shorter file is answered with the digest of what it
// holds. The digest after the data, here across two slices, confirms the file.
TEST_F(Receiving, ExtendedAnswersHashTheLocalFileAndOnlyItsDigestConfirms) {
    both_extended();
    std::string same = random_bytes(3000, 61), data = random_bytes(6115, 62);
    put_file("same", same);
    EXPECT_EQ(extended_answer(same, "same"), "x");
    EXPECT_EQ(extended_answer(random_bytes(3000, 63), "same"), "e");  // other bytes: a taken name
    put_file("part", data.substr(0, 1000));
    EXPECT_EQ(extended_answer(data, "part"),
              "r" + le64(1000) + le64(digest_of(data.substr(0, 1000))) + '\0');
    std::string digest = le64(digest_of(data));
    feed("R" + data.substr(1000) + digest.substr(0, 4));  // the verdict and 5,115 bytes: 4 of the
    cycles();                                             // digest end the fifth slice
    EXPECT_EQ(file_text("part"), data);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "");
    feed(digest.substr(4));
    cycles();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "c");
    EXPECT_EQ(log_lines().back().substr(0, 9), "S   6115 ");
}

// A batch whose last file ended "e" at its verdict, after the others were confirmed, never
// showed "Download completed" at the receiver.
TEST_F(Receiving, BatchEndingInADroppedResumeStillShowsItsEnd) {
    both_extended();
    std::string data = random_bytes(1500, 65), other = random_bytes(800, 66);
    put_file("held", other.substr(0, 100));
    EXPECT_EQ(extended_answer(data, "new"), "u");
    EXPECT_EQ(extended_answer(other, "held"),
              "r" + le64(100) + le64(digest_of(other.substr(0, 100))) + '\0');
    feed(data + le64(digest_of(data)));
    cycles();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "c");  // "held" still counts: the batch is not over
    feed("N");
    cycles();
    EXPECT_EQ(finished(), (std::vector<std::string>{"e:held", "D:"}));
}

// Bytes that are not the sender's are never confirmed: the file is put back as it was, "v"
// goes where "c" would, and it waits under its local name for its next offer (no -d name
// is used up for it); the second time it ends failed.
TEST_F(Receiving, FileFailingItsCheckIsUndoneWaitsUnderItsNameAndFailsTheSecondTime) {
    both_extended();
    session.log_refusals = 1;
    files.name_mode = 'd';
    add_receive_name("given");
    add_receive_name("r");
    std::string data = random_bytes(2000, 64), held = data.substr(0, 500);
    put_file("r", held);
    std::string resumed = "r" + le64(500) + le64(digest_of(held)) + '\0';
    std::string good = le64(digest_of(data)), bad = le64(~digest_of(data));
    // Both offered, f then r; their data end with the digests given; the letters that follow.
    auto round = [&](const std::string& digest_of_r) {
        EXPECT_EQ(extended_answer(data, "f"), "u");
        EXPECT_EQ(extended_answer(data, "r"), resumed);
        feed(data + bad + "R" + data.substr(500) + digest_of_r);
        cycles();
        status_sender();
        return wire(CH_STATUS);
    };
    EXPECT_EQ(round(bad), "vv");
    EXPECT_FALSE(std::filesystem::exists("given"));
    EXPECT_EQ(file_text("r"), held);
    EXPECT_EQ(count(receiving.retry_queue), 2);
    EXPECT_EQ(round(good), "vc");
    EXPECT_FALSE(std::filesystem::exists("given"));
    EXPECT_EQ(file_text("r"), data);
    EXPECT_EQ(finished(), (std::vector<std::string>{"v:given", "D:r"}));
    EXPECT_EQ(log_lines().back().substr(0, 9), "E   2000 ");
    EXPECT_EQ(process.exit_status, EXIT_DOWNLOADS_OUTSTANDING);
}

// After a verdict that the first bytes held are not the sender's, the whole file goes where
// the rule for a taken name says: beside the old one until it is confirmed (-o), or to NAME.0
// (-R); without either nothing of it comes and the old file stays.
TEST_F(Receiving, WholeFileAfterAVerdictReplacesOnlyOnceConfirmedOrGoesToNameN) {
    both_extended();
    std::string data = random_bytes(3000, 65), old = random_bytes(1000, 66);
    for (const char* name : {"o", "n", "x"}) put_file(name, old);
    session.overwrite_existing = 1;
    EXPECT_EQ(extended_answer(data, "o").back(), '\1');
    session.overwrite_existing = 0;
    session.rename_existing = 1;
    EXPECT_EQ(extended_answer(data, "n").back(), '\1');
    session.rename_existing = 0;
    EXPECT_EQ(extended_answer(data, "x").back(), '\0');
    feed("W" + data);
    cycles();
    EXPECT_EQ(file_text("o"), old);
    EXPECT_EQ(file_text("o.kestro-new"), data);
    feed(le64(digest_of(data)) + "W" + data + le64(digest_of(data)) + "N");
    cycles();
    EXPECT_EQ(file_text("o"), data);
    EXPECT_FALSE(std::filesystem::exists("o.kestro-new"));
    EXPECT_EQ(file_text("n"), old);
    EXPECT_EQ(file_text("n.0"), data);
    EXPECT_EQ(file_text("x"), old);
    EXPECT_EQ(finished().back(), "e:x");
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "cc");
    EXPECT_EQ(receiving.stream.figures.bytes_left, 0);
}

// The faults a hostile campaign found on the receiving side, one case each.

// -o and -R never create through a dangling link, find a temporary name for a NAME of any
// length, and clear the left-overs of earlier runs that no other run holds.
TEST_F(Receiving, TemporariesSkipDanglingLinksFitLongNamesAndLeftOversGo) {
    both_extended();
    std::string data = random_bytes(3000, 71), old = random_bytes(1000, 72);
    const std::string longname(250, 'l');
    for (const std::string& name : {std::string("o"), std::string("n"), longname})
        put_file(name, old);
    put_file("o.kestro-new", "another run's");
    int other_run = open("o.kestro-new", O_RDWR);
    ASSERT_EQ(flock(other_run, LOCK_EX), 0);
    ASSERT_EQ(symlink("missing1", "o.kestro-new.1"), 0);
    put_file("o.kestro-new.2", "left over by a killed run");
    ASSERT_EQ(symlink("missing2", "n.0"), 0);
    session.overwrite_existing = 1;
    EXPECT_EQ(extended_answer(data, "o").back(), '\1');
    EXPECT_EQ(extended_answer(data, longname).back(), '\1');
    session.overwrite_existing = 0;
    session.rename_existing = 1;
    EXPECT_EQ(extended_answer(data, "n").back(), '\1');
    const std::string digest = le64(digest_of(data));
    feed("W" + data);
    cycles();
    EXPECT_EQ(file_text("o.kestro-new.2"), data);
    feed(digest + "W" + data + digest + "W" + data + digest);
    cycles();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "ccc");
    EXPECT_EQ(file_text("o"), data);
    EXPECT_EQ(file_text(longname), data);
    EXPECT_EQ(file_text("n.1"), data);
    EXPECT_EQ(file_text("o.kestro-new"), "another run's");
    EXPECT_FALSE(std::filesystem::exists("missing1") || std::filesystem::exists("missing2"));
    EXPECT_FALSE(std::filesystem::exists("o.kestro-new.2"));
    close(other_run);
}

TEST_F(Receiving, DownloadThatCannotBeCreatedIsLoggedWithX) {
    session.log_refusals = 1;
    EXPECT_EQ(answer(10, "late"), "u");
    put_file("late", "appeared");  // between the answer and the start of the reception
    receive_data();
    EXPECT_EQ(finished().back(), "2:late");
    EXPECT_EQ(log_lines().back().substr(0, 9), "E     10 ");
}

// Data that stops short while the link is idle ends the file after a minute, through the
// abort exchange; a busy link, or the wait for a verdict while the sender hashes a long
// prefix, does not count.
TEST_F(Receiving, ReceptionStalledAMinuteWhileThePeerIsHeardIsAborted) {
    EXPECT_EQ(answer(1000, "s"), "u");
    feed(std::string(500, 's'));
    cycles();
    EXPECT_EQ(heard_for(100, true), "");
    EXPECT_EQ(heard_for(59), "");  // a minute after the last block moved
    EXPECT_EQ(heard_for(1), "a");
    EXPECT_EQ(finished().back(), "7:s");
    on_peer_abort();
    EXPECT_EQ(heard_for(1), "o");

    both_extended();
    const std::string held = random_bytes(3 * 1024 * 1024, 73);
    put_file("v", held);
    peer(CH_OFFERS, le64(held.size() + 10) + le64(0) + le64(0) + "v" + '\0');
    decide_offer();
    wire(CH_STATUS);
    cycles();                      // open, waiting for the verdict
    EXPECT_EQ(heard_for(63), "");  // a minute, and 3 MiB hashed at 1 MiB/s
    EXPECT_EQ(heard_for(1), "a");
}

// From a peer that announces nothing, a name that is no UTF-8 is taken as code page 437 (old
// BBS names): stored, logged and shown in UTF-8, refused when that form passes 255 bytes.
// Between two Kestro ends names travel unchanged.
TEST_F(Receiving, Cp437NamesFromAPlainPeerAreStoredAsUtf8) {
    EXPECT_EQ(answer(1, "caf\x82.txt"), "u");
    EXPECT_EQ(answer(1, "x\x9b"), "u");
    EXPECT_EQ(waiting(), (std::vector<std::string>{"caf\xc3\xa9.txt", "x\xc2\xa2"}));
    EXPECT_EQ(answer(1, std::string(100, '\xb0')), "q");  // 300 bytes in UTF-8
    both_extended();
    EXPECT_EQ(extended_answer("k", "caf\x82.bin"), "u");
    EXPECT_EQ(waiting().back(), "caf\x82.bin");
}

// An offer larger than the free space is refused at once: with `no_room` by its own
// letter, toward other peers by "t"; nothing of it is created.
TEST_F(Receiving, OfferLargerThanTheFreeSpaceIsRefusedAtOnce) {
    both_announce({.extended = true, .no_room = true});
    const uint64_t exabyte = uint64_t{1} << 60;
    peer(CH_OFFERS, le64(exabyte) + le64(0) + le64(0) + "huge" + '\0');
    decide_offer();
    EXPECT_EQ(wire(CH_STATUS), "f");
    peer_announced({.extended = true});
    peer(CH_OFFERS, le64(exabyte) + le64(0) + le64(0) + "huge2" + '\0');
    decide_offer();
    EXPECT_EQ(wire(CH_STATUS), "t");
    EXPECT_EQ(finished(), (std::vector<std::string>{"f:huge", "f:huge2"}));
    EXPECT_FALSE(std::filesystem::exists("huge") || std::filesystem::exists("huge2"));
}

class TreeReceiving : public Receiving {
   protected:
    zframe_out z;
    void SetUp() override {
        Receiving::SetUp();
        both_announce({.compress = true, .extended = true, .trees = true, .history = true});
    }
    void TearDown() override {
        zframe_free(&z, nullptr);
        Receiving::TearDown();
    }
    static std::string tree_answer(const std::string& content, const std::string& path,
                                   uint8_t flags = 0) {
        std::string record = extended_offer(content, path);
        record.insert(EXTENDED_HEADER_SIZE, 1, static_cast<char>(flags));
        peer(CH_OFFERS, record);
        decide_offer();
        return wire(CH_STATUS);
    }
    // The file's bytes and digest into the batch frame, flushed at the file's end.
    std::string batch(const std::string& content) {
        return batch_stream(z, {content + le64(digest_of(content))});
    }
};

// Paths land under the download directory at their place, a directory record is answered
// "x" once the directory stands, names differing in case are two files, and the batch
// frame runs on from file to file; after the peer's "b" a new frame decodes alone.
TEST_F(TreeReceiving, PathsLandInTheirDirectoriesAndTheBatchFrameRunsAcross) {
    std::string a = "int main() {}\n", m1 = "all:\n", m2 = "clean:\n";
    EXPECT_EQ(tree_answer(a, "src/x/a.c", TREE_FLAG_EXECUTABLE), "u");
    EXPECT_EQ(tree_answer("", "src/empty/"), "x");
    EXPECT_EQ(tree_answer(m1, "src/Makefile"), "u");
    EXPECT_EQ(tree_answer(m2, "src/makefile"), "u");
    EXPECT_TRUE(std::filesystem::is_directory("src/empty"));
    std::string ba = batch(a), bm1 = batch(m1), bm2 = batch(m2);  // in this order
    feed(ba + bm1 + bm2.substr(0, 5));
    cycles();
    EXPECT_EQ(file_text("src/x/a.c"), a);
    EXPECT_EQ(file_text("src/Makefile"), m1);
    struct stat st {};
    ASSERT_EQ(stat("src/x/a.c", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0744u);  // the owner's execute bit, under the umask
    feed(bm2.substr(5));
    cycles();
    EXPECT_EQ(file_text("src/makefile"), m2);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "ccc");
    EXPECT_EQ(log_lines()[0], "S     14     0 bps 9999 cps   0 errors     0 1024 src/x/a.c 0");

    std::string e = random_bytes(30000, 40), f = "after the abort";
    EXPECT_EQ(tree_answer(e, "src/e"), "u");
    feed(batch(e).substr(0, 9000));
    cycles();
    on_peer_abort();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "o");
    zout_reset(&z, 0, 0);  // the peer's sending side starts afresh too
    EXPECT_EQ(tree_answer(f, "src/f"), "u");
    feed_channel = CH_DATA_FIRST;
    feed_left = SLICE_SIZE;
    feed(batch(f));
    cycles();
    EXPECT_EQ(file_text("src/f"), f);
}

// Hostile paths are refused with the reason, never followed: nothing is made outside.
TEST_F(TreeReceiving, HostilePathsAndPlantedLinksAreRefusedNeverFollowed) {
    std::filesystem::create_directories("outside");
    std::filesystem::create_symlink("outside", "planted");
    put_file("plain", "a file where a directory would be");
    testing::internal::CaptureStderr();
    for (const char* path :
         {"../up", "a/../../up", "a//b", "./a/b", "planted/f", "planted/d/", "plain/f", "/abs/f"})
        EXPECT_EQ(tree_answer("x", path), "q") << path;
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("refused planted/f: it exists as something other than a directory"),
              std::string::npos)
        << told;
    EXPECT_NE(told.find("refused a/../../up: a '..' component"), std::string::npos) << told;
    EXPECT_TRUE(std::filesystem::is_empty("outside"));
    EXPECT_FALSE(std::filesystem::exists("a"));
}

// A directory swapped for a link after the offer was answered is not followed when the data
// comes: the file fails with the reason, and nothing is written where the link leads.
TEST_F(TreeReceiving, LinkPlantedAfterTheAnswerIsNeverWrittenThrough) {
    std::filesystem::create_directories("outside");
    EXPECT_EQ(tree_answer("data", "src/d/new"), "u");
    std::filesystem::rename("src/d", "src/moved");
    std::filesystem::create_directory_symlink("../outside", "src/d");
    testing::internal::CaptureStderr();
    feed(batch("data"));
    cycles();
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("cannot create src/d/new: it exists as something other than a directory"),
              std::string::npos)
        << told;
    EXPECT_TRUE(std::filesystem::is_empty("outside"));
    EXPECT_EQ(finished().back(), "2:src/d/new");
}

}  // namespace
