// Feeds peer input to the decoders and checks what must hold whatever the peer sends.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "files/lists.h"
#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/retransmit.h"
#include "link/setup.h"
#include "link/supervise.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/display.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "session/transfer.h"
#include "support/clock.h"
#include "support/scratch.h"
#include "support/state.h"
#include "ui/screen.h"

namespace {

int dev_null = -1;

// Runs one input's work; the run's end comes back here as run_ended (the seam of the test
// support). A link failure and the fatal errors for overlong peer records (offer 1,
// request 2, control text 5) are intended ends of the run; any other internal error means
// our own state went wrong.
template <typename Work>
const char* guarded(Work work) {
    const char* fault = nullptr;
    try {
        fault = work();
    } catch (const run_ended&) {
        int error = process.internal_error;
        if (error != 0 && error != INTERNAL_ERROR_OFFER && error != INTERNAL_ERROR_REQUEST &&
            error != INTERNAL_ERROR_CONTROL)
            fault = "peer input raised an unexpected fatal internal error";
    }
    return fault;
}

// Every subsystem back to its start, but the curses screen built once stays up and keeps
// painting what the session shows.
void reset_keeping_screen() {
    const screen_state kept_screen = screen;
    const display_hooks kept_display = display;
    const bool screen_active = process.screen_active;
    reset_all_state();
    screen = kept_screen;
    display = kept_display;
    process.screen_active = screen_active;
}

// ---------------------------------------------------------------- link state

const char* check_ring(const link_channel* rec) {
    int size = static_cast<int>(rec->buffer_end - rec->buffer_start);
    if (rec->room < 0 || rec->queued < 0 || rec->room + rec->queued != size)
        return "channel room and contents disagree";
    if (rec->read_pos < rec->buffer_start || rec->read_pos >= rec->buffer_end ||
        rec->write_pos < rec->buffer_start || rec->write_pos >= rec->buffer_end)
        return "channel position outside its ring";
    return nullptr;
}

const char* check_link() {
    int in_flight = 0;
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (const link_channel* rec = channels.send_channels[n]; rec != nullptr) {
            if (const char* fault = check_ring(rec)) return fault;
            if (rec->in_flight < 0 || rec->in_flight > rec->queued)
                return "block in flight larger than the channel holds";
            in_flight += rec->in_flight;
        }
        if (const link_channel* rec = channels.recv_channels[n]; rec != nullptr)
            if (const char* fault = check_ring(rec)) return fault;
    }
    if (in_flight != schedule.in_flight_total) return "bytes in flight miscounted";
    if (delivery.block_size < delivery.block_min || delivery.block_size > delivery.block_max)
        return "block size outside the profile's limits";
    if (codec.rx_pos < 0 || codec.rx_pos > FRAME_BUFFER_SIZE)
        return "receive position outside the frame buffer";
    return nullptr;
}

void reset_link(int mode) {
    if (dev_null < 0) dev_null = open("/dev/null", O_RDWR);
    reset_keeping_screen();
    serial.carrier_mode = 0;
    link_setup.handshake_echo = 0;
    use_fake_clock(1000);
    serial.clock_ms = serial.clock * 1000;
    serial.line_fd = dev_null;
    codec.link_mode = mode;
    codec.last_rx_time = serial.clock;
    codec.last_tx_time = serial.clock;
    alloc_link_channels();
}

// Our own traffic, so that the peer's acknowledgements and enquiries meet blocks in flight.
void top_up_traffic() {
    static const uint8_t filler[1500] = {'{', '}', 0x11, 0x13, 0x7B, 0x7C, 0x7A, 0x5B};
    const int plan[][2] = {{0, 40}, {1, 5}, {2, 120}, {8, 30}, {16, 1500}, {17, 300}};
    for (const auto& p : plan)
        if (send_room(p[0]) >= p[1]) send_write(p[0], filler, p[1]);
}

// Builds frames as the transmit step would, and checks that each fits the peer's buffer.
const char* build_frames(int count) {
    for (int i = 0; i < count; ++i) {
        uint8_t* end = build_frame();
        if (end == nullptr) break;
        if (end - codec.tx_frame > FRAME_ABANDON_AT)
            return "built frame longer than the peer can take";
    }
    return nullptr;
}

void drain(int fd) {
    uint8_t sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
}

}  // namespace

// ---------------------------------------------------------------- the line

const char* fuzz_line(const uint8_t* data, size_t size) {
    if (size < 3) return nullptr;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return nullptr;
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    reset_link(data[0] & 0x3F);
    serial.line_fd = pair[0];
    const uint8_t flags = data[1];
    if (flags & 1) {  // software flow control
        set_char_flags(0x11, CF_ESCAPE | CF_DROP);
        set_char_flags(0x13, CF_ESCAPE | CF_DROP);
    }
    if (flags & 2)
        link_setup.char_flags[static_cast<uint8_t>('{')] |=
            static_cast<uint8_t>(codec.link_mode & 3);
    if (flags & 4) set_char_flags(static_cast<uint8_t>(flags ^ 0x55), CF_ESCAPE | CF_DROP);
    const size_t chunk = 1 + data[2];
    const char* fault = guarded([&]() -> const char* {
        top_up_traffic();
        link_transmit();
        for (size_t pos = 3; pos < size;) {
            size_t n = size - pos < chunk ? size - pos : chunk;
            if (write(pair[1], data + pos, n) != static_cast<ssize_t>(n)) break;
            pos += n;
            link_receive();
            if (const char* f = check_link()) return f;
            serial.clock = fake_clock.second += 2;
            serial.clock_ms = serial.clock * 1000;  // enquiries and keep-alives come due
            top_up_traffic();
            link_transmit();
            drain(pair[1]);
            if (const char* f = check_link()) return f;
        }
        return nullptr;
    });
    close(pair[0]);
    close(pair[1]);
    serial.line_fd = dev_null;
    free_link_channels();
    return fault;
}

// ---------------------------------------------------------------- frames with a good CRC

const char* fuzz_frame(const uint8_t* data, size_t size) {
    reset_link(0);
    const char* fault = guarded([&]() -> const char* {
        top_up_traffic();
        if (const char* f = build_frames(4)) return f;
        for (size_t pos = 0; pos + 2 <= size;) {
            // Two length bytes, then the frame's contents; the trailer is made here.
            size_t length = ((data[pos] << 8) | data[pos + 1]) % (FRAME_ABANDON_AT + 2);
            pos += 2;
            if (length > size - pos) length = size - pos;
            memcpy(codec.rx_frame, data + pos, length);
            pos += length;
            uint16_t trailer =
                static_cast<uint16_t>(~crc16(codec.rx_frame, codec.rx_frame + length));
            codec.rx_frame[length] = static_cast<uint8_t>(trailer >> 8);
            codec.rx_frame[length + 1] = static_cast<uint8_t>(trailer);
            handle_frame(codec.rx_frame + length + 2);
            if (const char* f = check_link()) return f;
            if (length % 3 == 0) serial.clock = fake_clock.second += 5;
            serial.clock_ms = serial.clock * 1000;  // an enquiry comes due
            top_up_traffic();
            if (const char* f = build_frames(2)) return f;
            if (const char* f = check_link()) return f;
        }
        return nullptr;
    });
    free_link_channels();
    return fault;
}

// ---------------------------------------------------------------- the handshake

namespace {

void feed_handshake(const uint8_t* bytes, size_t count, bool* done) {
    for (size_t i = 0; i < count && !*done; ++i) {
        if (handshake_byte(bytes[i])) {
            handshake_finish();
            *done = true;
        }
    }
}

}  // namespace

const char* fuzz_handshake(const uint8_t* data, size_t size) {
    if (size < 3) return nullptr;
    reset_link(0);
    const int mode = data[0] & 0x3F;
    if (data[1] & 1) {
        set_char_flags(0x11, CF_ESCAPE | CF_DROP);
        set_char_flags(0x13, CF_ESCAPE | CF_DROP);
    }
    const char* fault = guarded([&]() -> const char* {
        reset_link_state(mode);
        build_handshake_block(kestro_identification, mode);
        handshake_send_pass();
        size_t pos = 3;
        bool done = false;
        if (data[1] & 2) {
            // A block with a good CRC, its bytes taken from the input, sent as hex text.
            uint8_t block[80];
            size_t n = data[2] % 64;
            if (n > size - pos) n = size - pos;
            memcpy(block, data + pos, n);
            pos += n;
            if (!(data[1] & 4) && n > 0) block[0] = handshake_version;
            uint16_t trailer = static_cast<uint16_t>(~crc16(block, block + n));
            block[n++] = static_cast<uint8_t>(trailer >> 8);
            block[n++] = static_cast<uint8_t>(trailer);
            uint8_t text[2 * sizeof block + 2];
            size_t t = 0;
            text[t++] = '*';
            for (size_t i = 0; i < n; ++i) {
                text[t++] = static_cast<uint8_t>(hex_digit(block[i] >> 4));
                text[t++] = static_cast<uint8_t>(hex_digit(block[i] & 0x0F));
            }
            text[t++] = '*';
            feed_handshake(text, t, &done);
        }
        feed_handshake(data + pos, size - pos, &done);
        for (uint8_t b : {'Z', '\\', ']'})
            if (link_setup.char_flags[b] & CF_ESCAPE)
                return "control sequence byte marked for escaping";
        if (establish.collect_pos > handshake_collect_max)
            return "handshake collected past its limit";
        if (establish.out_len > handshake_out_size) return "handshake output past its buffer";
        if (strlen(establish.mode_text) >= sizeof establish.mode_text) return "mode text overran";
        return nullptr;
    });
    free_link_channels();
    return fault;
}

// ---------------------------------------------------------------- the session

namespace {

struct scratch_tree {
    std::string root, dl, up, cwd, outside, extra;
    std::map<std::string, off_t> snapshot;  // everything outside dl, with sizes
    bool ready = false;
};

scratch_tree tree;
SCREEN* fuzz_screen = nullptr;

void filler_file(const std::string& path, size_t length) {
    write_file(path, std::string(length, 'k'));
}

void walk(const std::string& dir, std::map<std::string, off_t>* out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        if (path == tree.dl) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        (*out)[path] = S_ISDIR(st.st_mode) ? -1 : st.st_size;
        if (S_ISDIR(st.st_mode)) walk(path, out);
    }
    closedir(d);
}

void empty_download_dir() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(tree.dl, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

// A name under `dir`, directly, that is neither "." nor "..".
bool directly_in(const char* name, const std::string& dir) {
    size_t n = dir.size();
    if (strncmp(name, dir.c_str(), n) != 0 || name[n] != '/') return false;
    const char* base = name + n + 1;
    return base[0] != 0 && strchr(base, '/') == nullptr && strcmp(base, ".") != 0 &&
           strcmp(base, "..") != 0;
}

const char* check_queue(const file_queue& queue, const std::string& dir, const char* fault) {
    for (const file_entry* e = queue.head; e != nullptr; e = e->next)
        if (!directly_in(e->name, dir)) return fault;
    return nullptr;
}

const char* check_session() {
    const char* outgoing = "a file outside the upload directory was queued for sending";
    const char* incoming = "an incoming file was placed outside the download directory";
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue, &sending.send_queue,
                                &sending.in_transit_queue})
        if (const char* f = check_queue(*q, tree.up, outgoing)) return f;
    for (const file_queue* q : {&receiving.receive_queue, &receiving.received_queue})
        if (const char* f = check_queue(*q, tree.dl, incoming)) return f;
    if (receiving.stream.current != nullptr &&
        !directly_in(receiving.stream.current->name, tree.dl))
        return incoming;
    if (receiving.offer_pos < 0 || receiving.offer_pos > OFFER_BUFFER_SIZE)
        return "offer position out of bounds";
    if (sending.request_pos < 0 || sending.request_pos > REQUEST_BUFFER_SIZE)
        return "request position out of bounds";
    if (cycle.control_pos < 0 || cycle.control_pos > CONTROL_BUFFER_SIZE)
        return "control position out of bounds";
    if (chat.chat_line_length < 0 || chat.chat_line_length > CHAT_LINE_SIZE)
        return "chat line out of bounds";
    if (chat.chat_rx_channel < CH_CHAT_FIRST || chat.chat_rx_channel > CH_CHAT_LAST)
        return "chat channel out of range";
    if (receiving.stream.channel < CH_DATA_FIRST || receiving.stream.channel > CH_DATA_LAST ||
        sending.stream.channel < CH_DATA_FIRST || sending.stream.channel > CH_DATA_LAST)
        return "data channel out of range";
    return check_link();
}

// Puts the peer's bytes straight into a receive channel, as far as it has room.
void recv_put(int number, const uint8_t* bytes, int n) {
    link_channel* rec = channels.recv_channels[number];
    if (n > rec->room) n = rec->room;
    if (n <= 0) return;
    ring_copy_in(rec, rec->write_pos, bytes, n);
    rec->room -= n;
    rec->queued += n;
}

// One turn of the main loop with the link left out: the service cycle's own steps.
void run_handlers() {
    session_work();
    session_report();
    show_next_result();
}

// The options from the input's first byte, and our files and names as the command line
// would give them; reset_link has put everything else back to its start.
void reset_session(uint8_t flags, uint8_t lines) {
    session.accept_uploads = (flags & 0x01) ? 0 : 1;
    session.resume_check = (flags & 0x02) ? 0 : 1;
    session.overwrite_existing = (flags & 0x04) ? 1 : 0;
    session.rename_existing = (flags & 0x08) ? 1 : 0;
    session.serve_requests = (flags & 0x10) ? 1 : 0;
    files.wildcards_allowed = (flags & 0x40) ? 0 : 1;
    session.log_refusals = session.delete_partial = (flags & 0x80) ? 1 : 0;
    screen.beeper_off = 1;
    stats.log_fd = dev_null;
    files.name_mode = 'u';
    add_argument_name((tree.up + "/").c_str());
    files.name_mode = 'd';
    add_argument_name((tree.dl + "/").c_str());
    add_argument_name((tree.extra + "/").c_str());
    if (flags & 0x20) {
        add_receive_name("r1");
        add_receive_name("R1");
    }
    add_upload_name("a.txt", 1);
    add_upload_name("big.bin", 1);
    add_request_name("wanted");
    chat.peer_lines = static_cast<int8_t>(lines);
    filler_file(tree.dl + "/old.txt", 50);
}

void free_session() {
    try {
        close_incoming();
        close_outgoing();
    } catch (const run_ended&) {
    }
    reset_keeping_screen();
    empty_download_dir();
}

}  // namespace

void fuzz_setup() {
    if (tree.ready) return;
    tree.root = make_scratch_dir();
    if (tree.root.empty()) abort();
    tree.dl = tree.root + "/dl";
    tree.up = tree.root + "/up";
    tree.cwd = tree.root + "/cwd";
    tree.outside = tree.root + "/outside";
    tree.extra = tree.root + "/extra";
    for (const std::string* d : {&tree.dl, &tree.up, &tree.cwd, &tree.outside, &tree.extra})
        mkdir(d->c_str(), 0755);
    mkdir((tree.up + "/sub").c_str(), 0755);
    filler_file(tree.up + "/a.txt", 100);
    filler_file(tree.up + "/B.txt", 10);
    filler_file(tree.up + "/big.bin", 3000);
    filler_file(tree.up + "/x y", 5);
    filler_file(tree.up + "/sub/deep.txt", 5);
    filler_file(tree.cwd + "/local.txt", 20);
    filler_file(tree.outside + "/secret", 7);
    filler_file(tree.extra + "/taken.txt", 3);
    walk(tree.root, &tree.snapshot);
    // Chat and result lines are painted on a real curses screen that goes nowhere.
    setenv("LINES", "25", 1);
    setenv("COLUMNS", "80", 1);
    FILE* out = fopen("/dev/null", "w");
    FILE* in = fopen("/dev/null", "r");
    fuzz_screen = newterm("xterm", out, in);
    if (fuzz_screen != nullptr) {
        set_term(fuzz_screen);
        screen_build();
    }
    tree.ready = true;
}

void fuzz_teardown() {
    if (!tree.ready) return;
    std::error_code ignored;
    std::filesystem::remove_all(tree.root, ignored);
    tree = scratch_tree{};
}

const char* fuzz_session(const uint8_t* data, size_t size) {
    if (size < 2) return nullptr;
    fuzz_setup();
    static const int plan[] = {0,  1,  2,  3,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                               18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    char before[PATH_SIZE];
    if (getcwd(before, sizeof before) == nullptr) before[0] = 0;
    if (chdir(tree.cwd.c_str()) != 0) return nullptr;
    reset_link(0);
    reset_session(data[0], data[1]);
    const char* fault = guarded([&]() -> const char* {
        for (size_t pos = 2; pos + 2 <= size;) {
            // A record: which channel, how many bytes, the bytes.
            int number = plan[data[pos] % (sizeof plan / sizeof plan[0])];
            size_t n = data[pos + 1];
            pos += 2;
            if (n > size - pos) n = size - pos;
            recv_put(number, data + pos, static_cast<int>(n));
            pos += n;
            run_handlers();
            if (const char* f = check_session()) return f;
            // The peer takes everything we wrote at once.
            for (int ch = 0; ch < LINK_CHANNELS; ++ch)
                if (channels.send_channels[ch] != nullptr) send_reset(ch);
            serial.clock = fake_clock.second += 1;
            serial.clock_ms = serial.clock * 1000;
        }
        run_handlers();
        return check_session();
    });
    if (fault == nullptr) {
        std::map<std::string, off_t> now;
        walk(tree.root, &now);
        if (now != tree.snapshot)
            fault = "a file outside the download directory was created, changed or removed";
    }
    free_session();
    if (before[0] != 0 && chdir(before) != 0) return "could not return to the working directory";
    return fault;
}
