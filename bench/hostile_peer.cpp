// hostile_peer: a Kestro end that breaks the rules, for the fault campaign (bench/faults.py).
// It speaks the link and the session like kestro in door mode (the line on standard input
// and output) but offers what a hostile or broken peer might.
//
//   hostile_peer names RESULTS      offers hostile names and sizes; the data of an accepted
//                                   one comes from ./content.N, which it writes first
//   hostile_peer flood RESULTS N    N offers of small files (flood.N), N requests for names
//                                   that do not exist, and chat all the while
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
    std::string announced;  // the name as it goes on the wire, whatever it holds
    int32_t size;           // the size announced
    int content;            // bytes really there to send (the local file's length)
};

FILE* results = nullptr;
time_t started = 0;

// Writes the content file of offer n and returns its name.
std::string make_content(int n, int length) {
    std::string path = "content." + std::to_string(n);
    std::string bytes(static_cast<size_t>(length), '\0');
    for (int i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((n * 131 + i * 7) & 0xFF);
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
    file_entry* entry = new_entry(make_content(n, o.content).c_str());
    if (entry == nullptr) exit(2);
    set_entry_length(entry, o.size);
    send_write(CH_OFFERS, reinterpret_cast<const uint8_t*>(record.data()), static_cast<int>(record.size()));
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
            {{std::string(300, 'l'), 100, 100}},   // longer than a name may be: cannot be created
            {{"huge", INT32_MAX, 1000}}};          // far more announced than there is
}

std::vector<std::vector<offer>> flood(int count) {
    std::vector<offer> offers;
    for (int i = 0; i < count; ++i) offers.push_back({"flood." + std::to_string(i), 1 + i % 64, 1 + i % 64});
    for (int i = 0; i < count; ++i) add_request_name(("missing." + std::to_string(i)).c_str());
    return {offers};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (strcmp(argv[1], "names") != 0 && strcmp(argv[1], "flood") != 0)) {
        fprintf(stderr, "usage: hostile_peer names RESULTS | hostile_peer flood RESULTS N\n");
        return 2;
    }
    results = fopen(argv[2], "w");
    if (results == nullptr) {
        perror(argv[2]);
        return 2;
    }
    bool flooding = strcmp(argv[1], "flood") == 0;
    int count = flooding && argc > 3 ? atoi(argv[3]) : 0;
    link_setup.handshake_echo = 0;
    link_establish(link_banner, kestro_identification);
    clock_update();
    started = activity.last_activity_time = serial.clock;
    alloc_link_channels();
    on_peer_goodbye = drain_status_channel;
    send_opening_block(1);
    run_batches(flooding ? flood(count) : hostile_names(), flooding);
    fflush(results);
    end_run(0);
}
