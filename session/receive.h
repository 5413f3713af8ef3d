// The receiving side: offers answered, file data written, requests sent, the abort.
//
// Interface summary:
//   decide_offer ()      answers at most one offer of the peer (session/answer.cpp). With
//                        `extended` a local file of the offered name is hashed first,
//                        DIGEST_BUDGET a cycle, the answer waiting: one of equal length is
//                        "x" only with the offer's digest, a shorter one is resumed only
//                        onto the sender's bytes (the extended "r")
//   receive_hash_due () -> true while a local file is being hashed for an answer or before
//                        its verdict
//   send_requests ()     writes queued download requests into channel 3
//   receive_data ()      writes the file data that is whole in the rings (at most
//                        PIECES_PER_CYCLE pieces); opens the next accepted file
//   accept_incoming (entry, offset, letter)   the offer answered with "u" or "r"
//   abort_download (letter)   our own abort: the current file finishes with the letter
//   close_incoming () -> how the check of a file whose last byte was written went: its
//                        digest the sender's (`extended`), its time set (--times), synced
//                        to the disk, renamed over the old file (-o), still linked under its
//                        name (the reason goes to standard error); also run at the end of
//                        the run (exit_handler)
//   on_peer_abort ()     the peer's "b"
//   expect_reoffer ()    the peer's "g" (`reoffer`): files come again after its abort;
//                        the session waits for the next offer up to reoffer_wait_s
//   reoffer_awaited () -> true while that wait lasts
//   downloads_peer_lost ()  the peer is gone (it restarted): the file being written closed
//                        as at the end of a run (kept to be resumed), unanswered requests
//                        to be sent again
//   drop_incoming_stream ()  the current file closed, the accepted ones and the data stream
//                        dropped
//   on_request_answer (letter)   "d", "m" or "p"
//   confirm_received (entry)     called when "c" is written for the entry
//   check_failed_received (entry)  called when "v" is written for it: it waits in
//                        retry_queue for its next offer, or after MAX_CHECKS ends as 'v'
//   show_download_name ()        the current incoming file to the display, while files are left
// Within the receiving side (session/answer.cpp):
//   target_directory (entry, path, &base, &reason) -> where path's last component is opened,
//                        made, renamed or unlinked: a tree's file under the download directory
//                        from its directory walked again without following a link (-1 and
//                        the reason when refused; close_directory after), else AT_FDCWD and
//                        the path itself
//   open_target (entry, path, flags, mode, &st, &unfit) -> descriptor, or -1 (errno, or the
//                        reason in unfit: a link, a directory, a file with other links, ours,
//                        a link in a tree's path...);  unlink_target (entry, path) -> 0 or -1
//   report_file_error (what, path, reason)  "kestro: WHAT PATH: REASON" on standard error
//   waiting_for (path, exact)  a file of that name is being received or waits to be (a
//                        tree's path is compared exactly, others without regard to case)
//   keep_tree_time (relative, mtime)  a tree directory's time, set by set_tree_times () (at
//                        once when nothing is being received, else when that ends; at most
//                        MAX_TREE_TIMES directories, beyond them no time is set)
//   in_extra_dirs (name, suffix, exact)  the name (a tree's: its relative path) is present in
//                        a directory of -d beyond the first
// Within the receiving side (session/check.cpp):
//   check_whole_file (fd, entry) -> whole_file: the check between the current file's last
//                        byte and its 'S' line and "c" (what close_incoming says above); a
//                        file that fails it for its digest is put back as it was
//   names_it (fd, entry, path)  the name still leads to the open file
// Names are literal paths: a blank in a name is part of it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/entries.h"
#include "files/paths.h"
#include "session/transfer.h"
#include "session/zframe.h"

constexpr int reoffer_wait_s = 60;       // the sender's second offer after "g" is waited this long
constexpr int NAME_SPACE = 1024;         // an offered name and its NUL
constexpr int MAX_RENAME_TRIES = 999;    // -R: suffixes .0 to .999
constexpr int NEW_FILE_MODE = 0644;      // before the umask
constexpr size_t MAX_TREE_TIMES = 4096;  // tree directories whose time is set, at most
constexpr int OFFER_BUFFER_SIZE = TREE_HEADER_SIZE + NAME_SPACE;  // the longest header

// The answer to the offer in offer_buffer, kept while a local file of its name is hashed.
struct offer_answer {
    bool active = false;                  // an offer is being answered
    offer_record offer;                   // it, its name in offer_buffer
    char directory[NAME_PART_SIZE] = "";  // where it goes
    char base[NAME_PART_SIZE] = "";
    char suffix[16] = "";  // -R: ".0" up to ".999"
    bool tree = false;     // the offer carries a tree's relative path, kept under it
    int tries = 0;
    uint8_t checks_failed = 0;    // it comes again after failing its check this often
    file_entry* entry = nullptr;  // for the path being looked at
    int fd = -1;                  // the local file under that path, being hashed
    bool hashed = false;          // all of it: the answer waits only for room
    struct stat held {};          // that file when it was opened
    file_digest digest;
};

// A tree's directory and the time its record carried (--times).
struct tree_time {
    std::string path;  // relative to the download directory
    int64_t mtime = 0;
};

// What the current file is written into.
enum target_kind : uint8_t {
    TARGET_NEW,        // a file this run created under its name
    TARGET_APPENDED,   // a file that held its first `offset` bytes before
    TARGET_TEMPORARY,  // a new file under temp_path, renamed over the name once confirmed
};

struct receive_state {
    file_queue receive_queue;    // accepted, not yet begun
    file_queue received_queue;   // written whole, "c" not yet sent
    file_queue requested_queue;  // our requests sent, not yet answered
    // Files that failed their check, waiting to be offered again: their local path is the
    // name, the name they were offered under the alias.
    file_queue retry_queue;
    // The file being written; it stays current after its last byte until the next one opens.
    // The abort state runs ABORT_NONE, ABORT_TO_SEND, ABORT_SENT, then ABORT_TO_ACK after the
    // peer's "b": the accepted files are kept until that "b" comes.
    transfer_direction stream;
    zframe_in zin;  // the current file's frame, while both ends compress
    // Bytes read from a slice past a frame's end: the start of what follows in the stream. In
    // the batch frame: compressed bytes the decompressor has not taken yet.
    uint8_t carry[SLICE_SIZE] = {};
    int carry_len = 0;
    // The batch frame's stream as decompressed, not yet parsed.
    uint8_t unpacked[ZOUT_FLUSH_EVERY] = {};
    int unpacked_pos = 0;
    int unpacked_len = 0;
    uint8_t offer_buffer[OFFER_BUFFER_SIZE] = {};  // the peer's offer record being collected
    int offer_pos = 0;                             // bytes of it collected
    offer_answer answer;
    uint8_t target = TARGET_NEW;     // a target_kind
    char temp_path[PATH_SIZE] = "";  // TARGET_TEMPORARY's name
    // The hash of a resumed file's first bytes from its answer, for its reception: the file
    // is hashed again only when it is no longer as it was then.
    file_digest held;
    file_entry* held_for = nullptr;
    struct stat held_stat {};
    // The open file was positioned at its offset: until then nothing of it was received
    // in this run, so closing it logs no 'S' and deletes nothing.
    int reception_started = 0;
    // An accepted file was dropped unfinished: the downloads bit of the exit status, set at
    // each acceptance, stays for the run.
    int download_failed = 0;
    time_t reoffer_until = 0;           // the peer's "g": its next offer is waited for until then
    std::vector<tree_time> tree_times;  // with --times, set whenever nothing is received
};

extern receive_state receiving;

void decide_offer();
void send_requests();
void receive_data();
bool receive_hash_due();
void accept_incoming(file_entry* entry, int64_t offset, char letter);
void abort_download(char letter);
enum class incoming_check { kept, mismatch, failed };
enum class whole_file { kept, unsynced, lost, mismatch };
incoming_check close_incoming();
void on_peer_abort();
void expect_reoffer();
bool reoffer_awaited();
void downloads_peer_lost();
void drop_incoming_stream();
void on_request_answer(char letter);
void confirm_received(file_entry* entry);
void check_failed_received(file_entry* entry);
void show_download_name();
int target_directory(const file_entry* entry, const char* path, const char** base,
                     const char** reason);
void close_directory(int dir);
int open_target(const file_entry* entry, const char* path, int flags, int mode, struct stat* st,
                const char** unfit);
int unlink_target(const file_entry* entry, const char* path);
void report_file_error(const char* what, const char* path, const char* reason);
bool waiting_for(const char* path, bool exact);
bool in_extra_dirs(const char* name, const char* suffix, bool exact);
void keep_tree_time(const char* relative, int64_t mtime);
void set_tree_times();
whole_file check_whole_file(int fd, file_entry* entry);
bool names_it(int fd, const file_entry* entry, const char* path);
