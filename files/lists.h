// How names from the command line, list files and peer requests become file entries and
// directory nodes, and the lists they go to.
//
// Interface summary:
//   files                      the one instance: queues, directories, how names are taken
//   add_upload_name (name, status) -> entries made (status 1 local name, 0 peer's request:
//                              a link is never served, and only files found set the
//                              uploads bit of the exit status)
//   add_requested_files (name, wildcards) -> entries made for a peer's request; with
//                              `wildcards` (a peer that knows of them) and without -k, a
//                              name with '*' or '?' is every regular file of the served
//                              directories that matches, none beginning with '.',
//                              MAX_SERVED_MATCHES at most; otherwise add_upload_name (name, 0)
//   add_request_name (name), add_receive_name (name) -> 1 made, 0 no memory
//   expand_argument (argument, apply)   '@' list files; ends the run with 10 when one
//                              cannot be opened ("File not found: " and the name)
//   add_argument_name (name)   dispatch by files.name_mode
//   report_not_sent (name)     a local name that gave nothing to send: why, on the console
//                              (a "kestro:" line) and noted for the screen and the summary
//   note_not_sent (name, reason)  noted only: files.unsent, then a count in unsent_more
//   note_lone_directories ()   after the command line: each directory to send from that no
//                              name to send followed is reported as report_not_sent does
//   report_too_large (path)    a file past 2 GiB that the peer cannot take: "File too large: "
//                              and the path on the console, noted as not sent
//   dir_list_free_all (list)   frees every directory node
//   set_name_mode (mode), forbid_wildcards (), serve_trees ()   the command line's -u -d
//                              -U, -k and --recursive
//   offer_first (ahead)        the entries of `ahead` go before the upload queue's, in order;
//                              `ahead` is left empty
//   serve_large_files (on)     whether the peer takes sizes past 2 GiB
#pragma once

#include "files/entries.h"
#include "files/paths.h"

struct dir_node {
    dir_node* next;
    char path[];  // as named, NUL-terminated
};

struct dir_list {
    dir_node* head = nullptr;
    dir_node* tail = nullptr;
};

constexpr int MAX_UNSENT = 16;  // names not sent that are kept; the rest counted
constexpr int UNSENT_NAME_SIZE = 256;
constexpr int UNSENT_REASON_SIZE = 160;
constexpr const char* TOO_LARGE_REASON = "too large to send (2 GiB or more)";

// A peer's request with '*' or '?' (served with -r, refused with -k) makes at most this
// many entries: a serving end shows no more of its directory than it did name by name.
constexpr int MAX_SERVED_MATCHES = 1000;

struct unsent_name {
    char name[UNSENT_NAME_SIZE];
    char reason[UNSENT_REASON_SIZE];
};

// What the names that follow on the command line are (files.name_mode).
enum name_mode : char {
    NAMES_TO_SEND = 'u',     // files to send
    NAMES_TO_STORE = 'd',    // names to store received files under
    NAMES_TO_REQUEST = 'r',  // files to request from the peer
};

struct files_state {
    // Set by the command line.
    char name_mode = NAMES_TO_SEND;  // a name_mode
    int wildcards_allowed = 1;       // 0: a name with '*' or '?' is neither sent nor served
    int trees_served = 0;            // --recursive: a request for a directory brings its tree
    // The peer takes sizes past 2 GiB (set by the session once it knows): a request for such
    // a file is served. Local names are listed whatever their size and refused at the offer.
    int large_files_served = 0;

    file_queue upload_queue;   // files to offer the peer: ours and those it requested
    file_queue request_queue;  // names to request from the peer (-r)
    file_queue receive_names;  // names to store received files under, in turn (-d)
    dir_list upload_dirs;      // directories named with -u: a bare name is looked up in each
    // Directories named outside -u: files received go to the first, and a name present in
    // one of the others counts as taken.
    char download_dir[NAME_PART_SIZE] = "";
    dir_list extra_dirs;
    int receive_names_given = 0;   // -d named files: a file offered beyond them is refused
    int upload_names_missing = 0;  // a name given to send found no file: uploads outstanding
    int upload_dirs_used = 0;      // upload_dirs named before the last name to send

    // Local names that gave nothing to send, for the screen and the summary.
    unsent_name unsent[MAX_UNSENT];
    int unsent_count = 0;  // kept in unsent
    int unsent_more = 0;   // not kept, only counted
};

extern files_state files;

int add_upload_name(const char* name, int status);
int add_requested_files(const char* name, bool wildcards);
void report_too_large(const char* path);
int add_request_name(const char* name);
int add_receive_name(const char* name);
void expand_argument(const char* argument, void (*apply)(const char* name));
void add_argument_name(const char* name);
void dir_list_free_all(dir_list* list);
void report_not_sent(const char* name);
void note_lone_directories();
void note_not_sent(const char* name, const char* reason);
void set_name_mode(char mode);
void forbid_wildcards();
void serve_trees();
void offer_first(file_queue* ahead);
void serve_large_files(bool on);
