// hostile_peer: a Kestro end that breaks the rules, for the fault campaign (bench/faults.py).
// It speaks the link and the session like kestro in door mode (the line on standard input
// and output) but offers what a hostile or broken peer might.
//
//   hostile_peer names RESULTS      offers hostile names and sizes; the data of an accepted
//                                   one comes from ./content.N, which it writes first
//   hostile_peer flood RESULTS N    N offers of small files (flood.N), N requests for names
//                                   that do not exist, and chat all the while
//   hostile_peer rawnames RESULTS   offers names holding C1 controls (raw and as UTF-8), DEL,
//                                   bidirectional controls, bytes that are not UTF-8, and "€"
//   hostile_peer banner RESULTS     a banner holding terminal escape sequences (a window
//                                   title, a reset); offers nothing
//   hostile_peer forge RESULTS NAME once a first file is confirmed, offers NAME (the name of
//                                   the victim's transfer log) holding forged log lines
//   hostile_peer chat RESULTS STOP  chat lines holding ESC[K and other unfinished escape
//                                   sequences, then a plain line; stays until the file STOP
//                                   exists (at most a minute)
//
// It says goodbye once every offer and request is answered and every accepted file is
// confirmed or aborted, and writes the final letters of its entries to RESULTS, one
// "<letter> <name>" a line. Exit status: 0, or 1 when it gave up after its time limit.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/lists.h"
#include "link/channels.h"
#include "link/establish.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/plan.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/status.h"
#include "session/transfer.h"

namespace {

constexpr int time_limit_s = 300;  // a victim that never answers must not hold the campaign

struct offer {
    std::string announced;   // the name as it goes on the wire, whatever it holds
    int32_t size;            // the size announced
    int content;             // bytes really there to send (the local file's length)
    std::string bytes = {};  // what they are, when not the generated pattern
};

FILE* results = nullptr;
time_t started = 0;

// Writes the content file of offer n and returns its name.
std::string make_content(int n, int length, const std::string& given) {
    std::string path = "content." + std::to_string(n);
    std::string bytes(static_cast<size_t>(length), '\0');
    for (int i = 0; i < length; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>((n * 131 + i * 7) & 0xFF);
    if (!given.empty()) bytes = given;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        perror(path.c_str());
        exit(2);
    }
    close(fd);
    return path;
}

// The record goes on the wire as it is; the entry behind it sends the content file, so an
// accepted offer gets real data and an oversized one ends in a read error.
bool inject_offer(int n, const offer& o) {
    std::string record(8, '\0');
    memcpy(record.data() + 4, &o.size, 4);
    record += o.announced;
    record += '\0';
    if (send_room(CH_OFFERS) < static_cast<int>(record.size())) return false;
    file_entry* entry = new_entry(make_content(n, o.content, o.bytes).c_str());
    if (entry == nullptr) exit(2);
    set_entry_length(entry, o.size);
    send_write(CH_OFFERS, reinterpret_cast<const uint8_t*>(record.data()),
               static_cast<int>(record.size()));
    queue_append(&sending.offered_queue, entry);
    return true;
}

bool settled() {
    return sending.offered_queue.head == nullptr && sending.send_queue.head == nullptr &&
           sending.in_transit_queue.head == nullptr && sending.stream.abort_state == ABORT_NONE &&
           files.request_queue.head == nullptr && receiving.requested_queue.head == nullptr;
}

void note_finished() {
    while (file_entry* e = queue_pop(&finished_queue)) {
        fprintf(results, "%c %s\n", e->status, e->name);
        free_entry(e);
    }
}

// One turn of the session; chat goes out while it runs when asked for.
void turn(bool chatter) {
    service_cycle();
    if (chatter) chat_send("flood of chat from a hostile peer, line after line\r");
    note_finished();
    if (serial.clock - started > time_limit_s) {
        fflush(results);
        end_run(1);
    }
}

// Offers the list, one batch after another: a batch ends when all is answered, so an
// abort caused by one offer does not drop the next batch unheard.
void run_batches(const std::vector<std::vector<offer>>& batches, bool chatter) {
    int n = 0;
    for (const auto& batch : batches) {
        for (const offer& o : batch) {
            while (!inject_offer(n, o)) turn(chatter);
            ++n;
        }
        do turn(chatter);
        while (!settled());
    }
}

std::vector<std::vector<offer>> hostile_names() {
    std::vector<offer> names = {
        {"../escape1", 100, 100},
        {"/etc/kestro-hostile", 100, 100},
        {"a/b/../../escape2", 100, 100},
        {"C:\\dos\\path", 100, 100},
        {std::string(250, 'n'), 100, 100},  // as long as a name may be here
        {"sub/", 10, 10},
        {"..", 10, 10},
        {".", 10, 10},
        {"", 10, 10},
        {"bad\nname", 10, 10},
        {"bad\x1b[2Jname", 10, 10},
        {"negative", -5, 10},
    };
    return {names,
            {{std::string(300, 'l'), 100, 100}},  // longer than a name may be: cannot be created
            {{"huge", INT32_MAX, 1000}}};         // far more announced than there is
}

std::vector<std::vector<offer>> raw_names() {
    return {{
        {"c1utf8\xc2\x85name", 10, 10},  // U+0085 as UTF-8
        {"csiutf8\xc2\x9b"
         "2Jname",
         10, 10},  // U+009B, the 8-bit CSI
        {"del\x7fname", 10, 10},
        {"rlo\xe2\x80\xaegnp.exe", 10, 10},  // U+202E turns the rest around
        {"lri\xe2\x81\xa6name", 10, 10},     // U+2066
        {"alm\xd8\x9cname", 10, 10},         // U+061C
        {"csiraw\x9b"
         "2Jname",
         10, 10},  // not UTF-8: a raw C1 byte
        {"nextraw\x85name", 10, 10},
        {"euro\xe2\x82\xac", 10, 10},  // valid UTF-8 that stays
    }};
}

// 14 bytes like the real banner: a window title and a terminal reset inside.
const uint8_t escape_banner[14] = {0x19, 0x1b, ']', '0',  ';',  'P', 'W',
                                   'N',  'E',  'D', 0x07, 0x1b, 'c', ' '};

// Chat whose escape sequences never end on their line; the last line must still show.
void chat_lines(const char* stop_file) {
    const char* lines[] = {"before\x1b[Kafter\r", "open csi \x1b[\r", "title \x1b]0;chat-title\r",
                           "plain line after the escapes\r"};
    for (const char* line : lines)
        while (!chat_send(line)) turn(false);
    while (access(stop_file, F_OK) != 0 && serial.clock - started < 60) turn(false);
}

// A first file, so that the victim's log holds a line; then the log's own name, longer than
// that line, holding lines that would credit an upload that never was.
std::vector<std::vector<offer>> forge(const char* log_name) {
    std::string forged;
    while (forged.size() < 400)
        forged += "S 9999999 115200 bps 9999 cps   0 errors     0 1024 FORGED-UPLOAD.ZIP 0\n";
    int size = static_cast<int>(forged.size());
    return {{{"real", 4096, 4096}}, {{log_name, size, size, forged}}};
}

std::vector<std::vector<offer>> flood(int count) {
    std::vector<offer> offers;
    for (int i = 0; i < count; ++i)
        offers.push_back({"flood." + std::to_string(i), 1 + i % 64, 1 + i % 64});
    for (int i = 0; i < count; ++i) add_request_name(("missing." + std::to_string(i)).c_str());
    return {offers};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 3 ? argv[1] : "";
    if (mode != "names" && mode != "flood" && mode != "rawnames" && mode != "banner" &&
        !((mode == "chat" || mode == "forge") && argc > 3)) {
        fprintf(
            stderr,
            "usage: hostile_peer names|rawnames|banner RESULTS | hostile_peer flood RESULTS N | "
            "hostile_peer chat RESULTS STOP | hostile_peer forge RESULTS NAME\n");
        return 2;
    }
    results = fopen(argv[2], "w");
    if (results == nullptr) {
        perror(argv[2]);
        return 2;
    }
    bool flooding = mode == "flood";
    int count = flooding && argc > 3 ? atoi(argv[3]) : 0;
    link_setup.handshake_echo = 0;
    link_establish(mode == "banner" ? escape_banner : link_banner, kestro_identification);
    clock_update();
    started = activity.last_activity_time = serial.clock;
    alloc_link_channels();
    send_opening_block(1);
    if (mode == "chat")
        chat_lines(argv[3]);
    else if (mode == "forge")
        run_batches(forge(argv[3]), false);
    else if (mode != "banner")
        run_batches(flooding             ? flood(count)
                    : mode == "rawnames" ? raw_names()
                                         : hostile_names(),
                    flooding);
    fflush(results);
    end_run(0);
}
