// The sending side against real channels: offers, answers, data slices, the abort.
#include <cstdio>
#include <cstdlib>

#include "batch_frame.h"
#include "link/failure.h"
#include "transfer_fixture.h"

using namespace std::string_literals;

namespace {

class Sending : public Transfer {
   protected:
    static void queue_files(std::initializer_list<std::pair<const char*, std::string>> list) {
        for (const auto& [name, content] : list) {
            put_file(name, content);
            add_upload_name(name, 1);
        }
    }
    static void offer_and_answer(const std::string& answers) {
        send_offers();
        wire(CH_OFFERS);
        peer(CH_STATUS, answers);
        status_receiver();
    }
    // Runs the data step; returns what each data channel got.
    static std::vector<std::string> pump_data(int cycles = 64) {
        std::vector<std::string> got(LINK_CHANNELS);
        for (int i = 0; i < cycles; ++i) {
            send_data();
            for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) got[ch] += wire(ch);
        }
        return got;
    }
    static std::string joined(const std::vector<std::string>& got) {
        std::string s;
        for (const std::string& part : got) s += part;
        return s;
    }
    static std::string log_e(int size, const char* name) {
        char line[128];
        snprintf(line, sizeof line, "e %6d     0 bps 9999 cps   0 errors     0 1024 %s 0", size,
                 name);
        return line;
    }
};

TEST_F(Sending, OfferCarriesHeaderAndWholeBaseNameOrFinishesLocallyWhenTooLong) {
    std::filesystem::create_directory("sub dir");
    put_file("sub dir/my file.txt", "hello");
    ASSERT_EQ(add_upload_name("sub dir/my file.txt", 1), 1);
    std::string header(reinterpret_cast<const char*>(&files.upload_queue.head->time), 8);
    EXPECT_EQ(header.substr(4), le32(5));
    queue_append(&files.upload_queue, new_entry(("d/" + std::string(504, 'n')).c_str()));
    queue_files({{std::string(239, 'g').c_str(), "g"}, {std::string(255, 'f').c_str(), "f"}});
    send_offers();  // 20 + 248 bytes written: 260 free, too few for the next 264
    EXPECT_EQ(wire(CH_OFFERS).substr(0, 20), header + "my file.txt" + '\0');
    send_offers();  // written whole once there is room
    EXPECT_EQ(wire(CH_OFFERS).substr(8), std::string(255, 'f') + '\0');
    ASSERT_EQ(finished().size(), 1u);
    EXPECT_EQ(finished()[0].substr(0, 4), "N:d/");
    EXPECT_EQ(wire(CH_STATUS), "");  // nothing about it goes to the peer
}

TEST_F(Sending, SlicesRunOverChannelsAndTheNextFileContinuesTheSlice) {
    std::string a = random_bytes(2500, 1), b = random_bytes(1500, 2);
    queue_files({{"a", a}, {"b", b}});
    offer_and_answer("uu");
    EXPECT_EQ(sending.stream.figures.total_bytes, 4000);
    EXPECT_TRUE(activity.activity_seen);
    EXPECT_EQ(joined(pump_data(1)), "");  // opened; its data goes in the next cycle
    std::vector<std::string> got = pump_data();
    EXPECT_EQ(got[16], a.substr(0, 1024));
    EXPECT_EQ(got[17], a.substr(1024, 1024));
    EXPECT_EQ(got[18], a.substr(2048) + b.substr(0, 572));
    EXPECT_EQ(got[19], b.substr(572));
    EXPECT_EQ(count(sending.in_transit_queue), 2);  // both wait for "c"
}

TEST_F(Sending, ResumeOffsetSplitOverCyclesStartsAtThatByte) {
    std::string a = random_bytes(5000, 3);
    queue_files({{"a", a}});
    offer_and_answer("r\xE8");
    peer(CH_STATUS, std::string("\x03\0\0", 3));
    status_receiver();
    EXPECT_EQ(joined(pump_data()), a.substr(1000));
}

TEST_F(Sending, PeerAnswersAndConfirmationsFinishEntriesWithTheirLetters) {
    queue_files({{"x", "data"},
                 {"e", "data"},
                 {"i", "data"},
                 {"q", "data"},
                 {"t", "data"},
                 {"a", "0123456789"},
                 {"b", ""}});
    session.delete_sent = 1;
    process.exit_status = EXIT_UPLOADS_OUTSTANDING;
    int saved_err = dup(2), errors = open("errors", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(errors, 2);
    offer_and_answer("xeiqtuu");
    EXPECT_TRUE(std::filesystem::exists("x"));  // a peer's file of equal size may be another
    EXPECT_TRUE(std::filesystem::exists("e"));
    pump_data();
    put_file("b", "grew");  // after it was sent: -y keeps it
    peer(CH_STATUS, "c");
    status_receiver();
    peer(CH_STATUS, "cq");  // the last confirmation; an answer with no offer left is ignored
    status_receiver();
    EXPECT_EQ(process.exit_status, EXIT_UPLOADS_OUTSTANDING);  // four files were refused
    EXPECT_EQ(finished(), (std::vector<std::string>{"x:x", "e:e", "i:i", "q:q", "t:t", "U:b"}));
    // "x" never logs, "e" only with -X.
    EXPECT_EQ(log_lines(),
              (std::vector<std::string>{log_e(4, "i"), log_e(4, "q"), log_e(4, "t"),
                                        "s     10     0 bps 9999 cps   0 errors     0 1024 a 0",
                                        "s      0     0 bps 9999 cps   0 errors     0 1024 b 0"}));
    EXPECT_FALSE(std::filesystem::exists("a"));
    EXPECT_EQ(file_text("b"), "grew");
    dup2(saved_err, 2);
    for (int fd : {saved_err, errors}) close(fd);
    EXPECT_EQ(file_text("errors"),
              "kestro: kept x: the peer's file matches it by size only\n"
              "kestro: kept b: changed since it was sent\n");
}

// A "c" for a file whose last byte was never sent is a protocol error (a peer that misread
// the offer): not confirmed, not deleted, the upload side aborts and says so. One that comes
// before the link acknowledged the file's frames is held until it has.
TEST_F(Sending, ConfirmationBeforeTheLastByteFailsAndBeforeItsAcknowledgementWaits) {
    std::string a = random_bytes(PIECES_PER_CYCLE * 1024 + 5000, 4);  // more than one cycle moves
    queue_files({{"a", a}});
    session.delete_sent = 1;
    offer_and_answer("u");
    pump_data(1);
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_EQ(finished(), std::vector<std::string>{"8:a"});
    EXPECT_EQ(file_text("a"), a);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "b");
    peer(CH_STATUS, "o");
    status_receiver();

    queue_files({{"b", "bb"}});
    offer_and_answer("u");
    send_data();
    send_data();  // all of it in the rings, nothing acknowledged yet
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_EQ(sending.stream.figures.files_left, 1);
    pump_data(1);  // the link acknowledges the frames
    send_data();   // the next cycle acts on the "c"
    EXPECT_EQ(finished().back(), "U:b");

    // An empty file needs no data: its "c" may come before the cycle that would close it,
    // and must not be lost (the next "c" would otherwise confirm the wrong file).
    queue_files({{"empty", ""}, {"c", "cc"}});
    offer_and_answer("uu");
    send_data();  // opens "empty"; it would be closed in the next cycle
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_EQ(sending.stream.figures.files_left, 1);
    pump_data();
    peer(CH_STATUS, "c");
    status_receiver();
    EXPECT_EQ(sending.stream.figures.files_left, 0);
    EXPECT_EQ(finished().back(), "U:c");
}

// An abort drops the data stream (it has no end-of-file mark); after the peer's "o" every
// file not confirmed is offered again in its order. The oldest one unconfirmed is taken
// to be what the peer's "a" is about, and is given up the second time.
TEST_F(Sending, PeerAbortOffersEveryUnconfirmedFileAgainAfterO) {
    queue_files({{"a", random_bytes(100, 5)},
                 {"b", random_bytes(40000, 6)},
                 {"c", random_bytes(50, 7)},
                 {"d", "offered only"}});
    offer_and_answer("uuu");
    pump_data(3);  // a sent whole, then as many pieces of b as one cycle moves
    peer(CH_REQUESTS, "partial");
    serve_request();
    peer(CH_STATUS, "a");
    status_receiver();
    EXPECT_TRUE(finished().empty() && log_lines().empty());
    EXPECT_EQ(sending.stream.channel, 16);
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "b");

    // Nothing is offered and late answers are dropped, an offset holding a 'u' too.
    queue_files({{"e", "late"}});
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS), "");
    peer(CH_STATUS, "r" + le32('u'));
    status_receiver();
    EXPECT_EQ(sending.stream.figures.files_left, 0);
    peer(CH_REQUESTS, std::string("x\0", 2));  // the partial request went with the abort
    serve_request();
    EXPECT_EQ(finished().back(), "P:x");  // our own refusal: 'p' only on the wire
    peer(CH_STATUS, "o");
    status_receiver();
    send_offers();
    std::string offers = wire(CH_OFFERS), names;  // one-letter names after 8-byte headers
    for (size_t at = 0; at < offers.size(); at = offers.find('\0', at + 8) + 1)
        names += offers[at + 8];
    EXPECT_EQ(names, "abcde");
    peer(CH_STATUS, "uuuuu");
    status_receiver();
    pump_data(2);
    peer(CH_STATUS, "a");
    status_receiver();
    EXPECT_EQ(finished().back(), "0:a");
    EXPECT_EQ(log_lines(), std::vector<std::string>{log_e(100, "a")});
    close_outgoing();  // the exit path: b to e wait to be offered again, each logs its line
    EXPECT_EQ(log_lines().size(), 5u);
    EXPECT_EQ(process.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

TEST_F(Sending, OpenAndSeekFailuresAbortTheSendingSide) {
    queue_files({{"unread", "x"}, {"gone", "abc"}, {"next", "def"}});
    std::filesystem::remove("unread");  // before its offer: never offered, the batch goes on
    offer_and_answer("uu");
    std::filesystem::remove("gone");
    send_data();
    EXPECT_EQ(finished(), (std::vector<std::string>{"2:unread", "2:gone"}));
    EXPECT_EQ(sending.stream.abort_state, 1);
    EXPECT_STREQ(files.upload_queue.head->name, "next");  // offered again, not the failed one
    queue_free_all(&files.upload_queue);
    sending.stream.abort_state = 0;

    queue_files({{"far", "12345"}});
    offer_and_answer("r" + le32(6));  // beyond the end: never a negative byte count
    send_data();
    EXPECT_EQ(finished().back(), "3:far");
    EXPECT_EQ(sending.stream.figures.bytes_left, 0);
    sending.stream.abort_state = 0;

    // Swapped for a link to another file after it was listed: never sent.
    queue_files({{"swapped", "mine"}});
    put_file("outside", "not offered");
    offer_and_answer("u");
    std::filesystem::remove("swapped");
    std::filesystem::create_symlink("outside", "swapped");
    send_data();
    EXPECT_EQ(finished().back(), "2:swapped");
}

TEST_F(Sending, RequestsAnsweredOnePerCycle) {
    peer(CH_REQUESTS, std::string("foo\0bar\0", 8));
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "p");
    EXPECT_EQ(finished(), std::vector<std::string>{"P:foo"});
    serve_request();
    session.serve_requests = 1;
    put_file("have.txt", "x");
    peer(CH_REQUESTS, std::string("../elsewhere/have.txt") + '\0' + "missing" + '\0');
    serve_request();
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "pdm");
    ASSERT_EQ(count(files.upload_queue), 1);
    EXPECT_STREQ(files.upload_queue.head->name, "have.txt");
    EXPECT_EQ(finished().back(), "m:missing");
}

TEST_F(Sending, RequestOverflowingItsBufferIsFatalInternalErrorTwo) {
    session.serve_requests = 1;
    const std::string request(2056, 'z');  // fills the buffer without its NUL
    for (size_t at = 0; at < request.size(); at += 1000) {
        peer(CH_REQUESTS, request.substr(at, 1000));
        serve_request();
    }
    EXPECT_EQ(process.internal_error, 0);
    peer(CH_REQUESTS, "z");
    EXPECT_EQ(end_code(serve_request), process.exit_status);
    EXPECT_EQ(process.internal_error, 2);
}

// The uploads bit goes once every file named was confirmed or was at the peer already
// ("x"); a named file that found nothing keeps it for the run.
TEST_F(Sending, DrainActsOnLettersDeliveredBeforeThePeersGoodbye) {
    queue_files({{"a", "abc"}, {"have", "xyz"}});
    offer_and_answer("ux");
    pump_data();
    peer(CH_STATUS, "c");
    codec.peer_goodbye = 1;  // decoded behind the "c": the cycle ends the run at level 1
    EXPECT_EQ(end_code(follow_peer_goodbye), 0);
    EXPECT_STREQ(termination.fail_message, "ZARN data link terminated.");
    EXPECT_EQ(termination.termination_level, SEND_GOODBYE);
    EXPECT_EQ(finished(), (std::vector<std::string>{"x:have", "U:a"}));
    add_upload_name("missing", 1);
    queue_files({{"b", "b"}});
    offer_and_answer("u");
    pump_data();
    peer(CH_STATUS, "c");
    drain_status_channel();
    EXPECT_EQ(process.exit_status, EXIT_UPLOADS_OUTSTANDING);
}

// Both ends check whole files: the offer carries the file's length, time and digest, and its
// data end with that digest, complemented when the file changed meanwhile.
// A file past 2 GiB is offered only to such a peer.
TEST_F(Sending, ExtendedOffersAndDigestsAndLargeFilesOnlyToAPeerThatTakesThem) {
    put_file("huge", "");
    std::filesystem::resize_file("huge", uintmax_t{1} << 31);  // sparse: takes no disk
    add_upload_name("huge", 1);
    testing::internal::CaptureStderr();
    send_offers();  // the fixture's peer announced nothing
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File too large: huge\n");
    EXPECT_EQ(wire(CH_OFFERS), "");
    EXPECT_EQ(files.unsent_count, 1);

    both_extended();
    std::string a = random_bytes(3000, 8), b = random_bytes(2000, 9), b2 = random_bytes(2000, 10);
    queue_files({{"a", a}, {"b", b}});
    struct stat st {};
    ASSERT_EQ(stat("a", &st), 0);
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS).substr(0, 26), extended_offer(a, "a", st.st_mtime));
    peer(CH_STATUS, "uu");
    status_receiver();
    std::string stream = joined(pump_data(2));  // a whole; b opened
    put_file("b", b2);                          // b changes before it is read
    stream += joined(pump_data());
    EXPECT_EQ(stream, a + le64(digest_of(a)) + b2 + le64(~digest_of(b)));
}

// An extended "r": the file's first bytes are compared with the peer's, and the byte before
// the data says whether the resume stands, the whole file follows, or none of it.
TEST_F(Sending, VerdictSaysWhetherTheResumeStandsTheWholeFileGoesOrNothing) {
    both_extended();
    std::string a = random_bytes(5000, 11);
    queue_files({{"r", a}, {"w", a}, {"n", a}});
    auto resume = [](const std::string& held, char rule) {
        return "r" + le64(held.size()) + le64(digest_of(held)) + std::string(1, rule);
    };
    offer_and_answer(resume(a.substr(0, 1000), '\0') + resume(random_bytes(1000, 12), '\1') +
                     resume(random_bytes(1000, 13), '\0'));
    std::string digest = le64(digest_of(a));
    EXPECT_EQ(joined(pump_data()), "R" + a.substr(1000) + digest + "W" + a + digest + "N");
    EXPECT_EQ(finished(), std::vector<std::string>{"e:n"});
    EXPECT_EQ(sending.stream.figures.files_left, 2);  // r and w wait for "c"
    EXPECT_EQ(sending.stream.figures.bytes_left, 0);
}

// The peer's "v": the file is offered again from its first byte, after the files queued;
// the second time it is given up, here as at the peer.
TEST_F(Sending, FileFailingItsCheckIsSentOnceMoreThenGivenUp) {
    both_extended();
    queue_files({{"f", "content"}, {"g", "other"}});
    offer_and_answer("uu");
    pump_data();
    queue_files({{"h", "queued"}});
    testing::internal::CaptureStderr();
    peer(CH_STATUS, "vc");
    status_receiver();
    ASSERT_EQ(count(files.upload_queue), 2);
    EXPECT_STREQ(files.upload_queue.tail->name, "f");
    EXPECT_EQ(files.upload_queue.tail->offset, 0);
    EXPECT_EQ(finished(), std::vector<std::string>{"U:g"});
    offer_and_answer("uu");
    pump_data();
    peer(CH_STATUS, "cv");
    status_receiver();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kestro: sending f: the peer's copy failed its check: sent again\n"
              "kestro: sending f: the peer's copy failed its check again: given up\n");
    EXPECT_EQ(finished().back(), "v:f");
    EXPECT_EQ(log_lines().back().substr(0, 9), "e      7 ");
    EXPECT_EQ(process.exit_status & EXIT_UPLOADS_OUTSTANDING, EXIT_UPLOADS_OUTSTANDING);
}

// The faults a hostile campaign found on the sending side, one case each.

// Resumed by size alone toward a peer that checks nothing, the peer's first bytes may be
// another file's: -y keeps the file, and says why.
TEST_F(Sending, YKeepsAFileResumedBySizeAlone) {
    queue_files({{"r", random_bytes(3000, 81)}});
    session.delete_sent = 1;
    offer_and_answer("r" + le32(1000));
    pump_data();
    peer(CH_STATUS, "c");
    EXPECT_EQ(errors_of(status_receiver),
              "kestro: kept r: the peer's first part of it was never compared with it\n");
    EXPECT_TRUE(std::filesystem::exists("r"));
}

// Names on standard error are shown as the summary shows them: no control byte reaches the
// terminal. A "q" for a name with control characters says that it was the name.
TEST_F(Sending, LocalNamesInMessagesAreFilteredAndRefusedNamesSaySo) {
    const std::string titled = "t\x1b]0;owned\x07\nkestro: forged";
    queue_files({{titled.c_str(), "listed"},
                 {"a\x1b"
                  "b",
                  "data"}});
    unlink(titled.c_str());
    ASSERT_EQ(mkfifo(titled.c_str(), 0644), 0);  // replaced after it was listed
    EXPECT_EQ(errors_of([] { offer_and_answer("q"); }),
              "kestro: cannot send t?]0;owned??kestro: forged: not a regular file\n");
    EXPECT_EQ(finished().back(),
              "n:a\x1b"
              "b");
}

// A sent file whose confirmation never comes while the peer is heard fails after a minute
// through the abort exchange.
TEST_F(Sending, ConfirmationThatNeverComesEndsTheFileAfterAMinute) {
    queue_files({{"s", "data"}, {"t", "more"}});
    offer_and_answer("uu");
    pump_data();  // all of it taken by the peer
    EXPECT_EQ(heard_for(60), "");
    EXPECT_EQ(heard_for(1), "b");
    EXPECT_EQ(finished().back(), "7:s");
    EXPECT_EQ(count(files.upload_queue), 1);  // t is offered again after the peer's "o"
}

// A peer that announces nothing asks for an old BBS name in code page 437: the file stored
// under its UTF-8 reading is served, and offered under the peer's own bytes.
TEST_F(Sending, Cp437RequestFindsTheUtf8NameAndIsOfferedUnderThePeersBytes) {
    session.serve_requests = 1;
    put_file("caf\xc3\xa9.txt", "cafe");
    peer(CH_REQUESTS, std::string("caf\x82.txt") + '\0');
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "d");
    send_offers();
    EXPECT_EQ(wire(CH_OFFERS).substr(OFFER_HEADER_SIZE), std::string("caf\x82.txt") + '\0');
}

// After an abort the files under way come again: between two ends that announce it the sender
// says so before its "b" and does not end before it has offered them. A refusal for room is
// its own letter then.
TEST_F(Sending, AbortAnnouncesTheReofferAndNoRoomIsItsOwnRefusal) {
    both_announce({.no_room = true, .reoffer = true});
    queue_files({{"s", "data"}, {"big", "bigdata"}});
    offer_and_answer("uf");
    EXPECT_EQ(finished(), std::vector<std::string>{"f:big"});
    pump_data();
    peer(CH_STATUS, "a");
    status_receiver();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "gb");
    EXPECT_TRUE(reoffers_due());
    peer_announced({});  // toward a peer that knows nothing of it: "b" alone, nothing waits
    EXPECT_FALSE(reoffers_due());
}

std::string text(size_t n, char seed) {
    std::string s;
    while (s.size() < n) s += std::string("static int ") + seed + std::to_string(s.size()) + ";\n";
    return s.substr(0, n);
}

// One history for the batch: the frame holds exactly the stream the files would make raw,
// whatever the peer refused, resumed or had sent again; after an abort a new frame begins
// that decodes with nothing before it.
TEST_F(Sending, TheBatchFrameHoldsTheRawStreamAcrossRefusalResumeRetryAndAbort) {
    both_announce({.compress = true, .extended = true, .history = true});
    std::string a = text(3000, 'a'), b = text(2000, 'b'), c = text(5000, 'c'), d = text(100, 'd');
    queue_files({{"a", a}, {"b", b}, {"c", c}, {"d", d}});
    auto dig = [](const std::string& s) { return le64(digest_of(s)); };
    std::string resume = "r" + le64(1000) + dig(c.substr(0, 1000)) +
                         std::string(1, static_cast<char>(resume_or::nothing));
    offer_and_answer("ue" + resume + "u");
    zframe_in peer_z;
    EXPECT_EQ(unbatch(peer_z, joined(pump_data())),
              a + dig(a) + "R" + c.substr(1000) + dig(c) + d + dig(d));
    EXPECT_EQ(finished(), std::vector<std::string>{"e:b"});
    // a failed its check at the peer: sent again, on in the same frame.
    peer(CH_STATUS, "vcc");
    status_receiver();
    testing::internal::CaptureStderr();
    offer_and_answer("u");
    EXPECT_EQ(unbatch(peer_z, joined(pump_data())), a + dig(a));
    testing::internal::GetCapturedStderr();
    peer(CH_STATUS, "c");
    status_receiver();
    // An abort in the middle of a file: what follows the peer's "o" is a new frame.
    std::string e = text(60000, 'e');
    queue_files({{"e", e}});
    offer_and_answer("u");
    pump_data(1);
    peer(CH_STATUS, "a");
    status_receiver();
    status_sender();
    EXPECT_EQ(wire(CH_STATUS), "b");
    peer(CH_STATUS, "o");
    status_receiver();
    offer_and_answer("u");
    zframe_in fresh;
    EXPECT_EQ(unbatch(fresh, joined(pump_data())), e + dig(e));
    zframe_free(nullptr, &peer_z);
    zframe_free(nullptr, &fresh);
}

// A request for a directory brings its tree only from an end serving trees (--recursive) to
// one that keeps them: an -r BBS alone answers "m" as before.
TEST_F(Sending, ARequestedDirectoryComesAsATreeOnlyWhenTreesAreServed) {
    both_announce({.extended = true, .trees = true});
    set_session_option(&session_options::serve_requests, 1);
    put_file("photos/2024/a.jpg", "jpg");
    peer(CH_REQUESTS, "photos\0"s);
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "m");
    serve_trees();
    peer(CH_REQUESTS, "../photos\0"s);  // a peer names no directory of ours
    serve_request();
    EXPECT_EQ(wire(CH_STATUS), "d");
    ASSERT_EQ(count(files.upload_queue), 3);  // and the records of photos/2024/ and photos/
    EXPECT_STREQ(entry_alias(files.upload_queue.head), "photos/2024/a.jpg");
}

// A tree toward a peer that keeps no directories: its files go under their base names, its
// directories not at all, and one line says so; between two ends that keep trees, paths go
// and a directory record's "x" leaves no result.
TEST_F(Sending, ATreeGoesFlatToAPeerWithoutTreesAndWithPathsToOneWithThem) {
    put_file("t/a/f", "f");
    std::filesystem::create_directories("t/empty");
    testing::internal::CaptureStderr();
    ASSERT_EQ(add_tree("t"), 4);  // t/a/f, t/a/, t/empty/, t/
    both_announce({.extended = true});
    send_offers();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kestro: --recursive: the peer keeps no directories: files go under their base "
              "names\n");
    EXPECT_EQ(wire(CH_OFFERS).substr(EXTENDED_HEADER_SIZE), "f\0"s);
    peer(CH_STATUS, "e");
    status_receiver();
    add_tree("t");
    both_announce({.extended = true, .trees = true});
    send_offers();
    std::string offers = wire(CH_OFFERS);
    EXPECT_NE(offers.find("\0t/a/f\0"s), std::string::npos);
    EXPECT_NE(offers.find("t/empty/\0"s), std::string::npos);
    peer(CH_STATUS, "ex");
    status_receiver();
    EXPECT_EQ(finished(), (std::vector<std::string>{"e:t/a/f", "e:t/a/f"}));  // t/empty: none
}

}  // namespace
