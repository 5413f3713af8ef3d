#include "session/send.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/lists.h"
#include "files/names.h"
#include "files/tree.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
#include "session/results.h"
#include "session/stats.h"

send_state sending;

// A file that is not confirmed: the rate of what of it crossed, if anything did.
void log_upload(char letter, const file_entry* entry) {
    write_log_line(letter, entry, file_rate(&stats.upload, entry, false));
}

// An upload that ends other than confirmed or already at the peer keeps the uploads bit
// of the exit status for the rest of the run.
void finish_upload(file_entry* entry, uint8_t letter) {
    if (letter != ST_HAVE_IT) sending.upload_failed = 1;
    finish_entry(entry, letter);
}

namespace {

// Aborts of the peer's receiving an upload may be taken to cause before it is given up
// rather than offered again: a file the peer cannot take never loops for ever.
constexpr uint8_t MAX_BLAMED = 2;

// Nothing is left to send, and everything named was sent or already at the peer.
void clear_uploads_bit_when_settled() {
    if (sending.upload_failed || files.upload_names_missing) return;
    if (sending.stream.figures.files_left != 0) return;
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue, &sending.send_queue,
                                &sending.in_transit_queue})
        if (q->head != nullptr) return;
    exit_status_clear(EXIT_UPLOADS_OUTSTANDING);
}

// A file -y does not delete: the user hears why, and -X logs it as not done.
void keep_sent_file(const file_entry* entry, const char* reason) {
    report_name("kept", entry->name, reason);
    if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// -y after the peer's "c" (or with `extended` its "x"): the file goes only while its name
// still leads to the very file that was sent, with the size sent and the times it had when
// it was opened (for "x": offered). A file that grew, or was replaced, while it was sent
// holds bytes the peer never got.
void delete_sent_file(const file_entry* entry) {
    struct stat now {};
    if (lstat(entry->name, &now) != 0) {
        if (errno != ENOENT) keep_sent_file(entry, strerror(errno));
        return;  // gone already: nothing to keep
    }
    if (!S_ISREG(now.st_mode) || now.st_dev != entry->device || now.st_ino != entry->inode)
        keep_sent_file(entry, "another file stands under its name now");
    else if (now.st_size != entry->length || !same_time(now.st_mtim, entry->sent_mtime) ||
             !same_time(now.st_ctim, entry->sent_ctime))
        keep_sent_file(entry, "changed since it was sent");
    else if (unlink(entry->name) != 0)
        keep_sent_file(entry, strerror(errno));
}

// The name an offer of the entry announces holds characters a receiver refuses.
bool announced_name_refused(const file_entry* entry) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    return split_path(entry->name, directory, sizeof directory, base, sizeof base) == 0 &&
           name_refused(base);
}

// The current file is read to its end: it stays in in_transit_queue until "c".
void close_current_file() {
    // Without memory for its facts the end reads as 0: its answer is taken at once, as before.
    if (transfer_facts* f = facts_of(sending.stream.current); f != nullptr)
        f->stream_end = sending.stream.stream_moved;
    stream_closed(&sending.stream);
    sending.stream.current = nullptr;
}

// Data-stream bytes the peer's link has acknowledged.
int64_t stream_acknowledged() {
    int64_t queued = 0;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) queued += send_queued(ch);
    return sending.stream.stream_moved - queued;
}

// Every frame of the entry is written: true, or false while it is still the current file.
// An empty remainder (an empty file, or a resume at its end) needs no data, so the peer may
// answer it before our next cycle closes it: it is closed now.
bool all_written(const file_entry* entry) {
    const transfer_direction& stream = sending.stream;
    if (entry != stream.current) return true;
    if (stream.digested || stream.figures.file_bytes_left != 0) return false;
    if (stream.squeezed && !zout_done(&sending.zout)) return false;
    const uint8_t* unsent = nullptr;
    if (stream.batched && zout_pending(&sending.zout, &unsent) > 0) return false;
    close_current_file();
    return true;
}

// A "c" or "v" for a file whose last frame was never sent: the peer does not speak the
// protocol it announced (or none at all). Nothing is confirmed or deleted; the side aborts.
void early_answer(const file_entry* entry, uint8_t letter) {
    report_name("sending", entry->name,
                letter == ST_CONFIRMED
                    ? "the peer confirmed it before its last byte was sent: not confirmed"
                    : "the peer judged it before its last byte was sent");
    abort_upload(ST_EARLY_ANSWER);
}

}  // namespace

void offer_refused(uint8_t letter) {
    file_entry* entry = queue_pop(&sending.offered_queue);
    if (entry == nullptr) return;
    if (letter == ST_HAVE_IT && tree_directory(entry)) {
        // A directory record: the directory stands at the peer. It is no file sent or skipped,
        // so it has no result; -y never removes one here.
        free_entry(entry);
        clear_uploads_bit_when_settled();
        return;
    }
    if (letter == ST_HAVE_IT) {
        // With `extended` the peer's file has this one's digest: -y may delete it, as after
        // "c". Otherwise a file of the same name and size is not known to be this one.
        if (session.delete_sent && announcement.used.extended)
            delete_sent_file(entry);
        else if (session.delete_sent)
            keep_sent_file(entry, "the peer's file matches it by size only");
    } else if (letter != ST_EXISTS || session.log_refusals) {
        log_upload(LOG_UPLOAD_FAILED, entry);
    }
    // A peer refuses a name that holds control characters with "q" too: say which it was.
    if (letter == ST_REFUSED && announced_name_refused(entry)) letter = ST_NAME_REFUSED;
    finish_upload(entry, letter);
    if (letter == ST_HAVE_IT) clear_uploads_bit_when_settled();
}

void transit_answer(uint8_t letter) {
    file_entry* entry = sending.in_transit_queue.head;
    for (int i = 0; i < sending.held_count && entry != nullptr; ++i) entry = entry->next;
    if (entry == nullptr) {
        if (sending.send_queue.head != nullptr) early_answer(sending.send_queue.head, letter);
        return;  // nothing accepted: ignored
    }
    if (!all_written(entry) || sending.held_count == MAX_HELD_ANSWERS) {
        early_answer(entry, letter);
        return;
    }
    sending.held_answers[sending.held_count++] = letter;
    release_answers(false);
}

void release_answers(bool all) {
    while (sending.held_count > 0) {
        const file_entry* entry = sending.in_transit_queue.head;
        if (entry == nullptr) {
            sending.held_count = 0;
            return;
        }
        if (!all && stream_acknowledged() < facts(entry).stream_end) return;
        uint8_t letter = sending.held_answers[0];
        --sending.held_count;
        memmove(sending.held_answers, sending.held_answers + 1,
                static_cast<size_t>(sending.held_count));
        if (letter == ST_CONFIRMED)
            confirm_sent();
        else
            check_failed_sent();
    }
}

void confirm_sent() {
    file_entry* entry = sending.in_transit_queue.head;
    if (entry == nullptr) return;
    queue_pop(&sending.in_transit_queue);
    sending.stream.figures.files_left -= 1;
    write_log_line(LOG_SENT, entry, file_completed(&stats.upload, entry));
    note_file_done(entry, false);
    // Resumed by size alone (a peer that checks nothing): its first bytes may not be ours.
    if (session.delete_sent && entry->offset > 0 && !announcement.used.extended)
        keep_sent_file(entry, "the peer's first part of it was never compared with it");
    else if (session.delete_sent)
        delete_sent_file(entry);
    if (sending.stream.figures.files_left == 0)
        finish_entry(entry, ST_UPLOADS_DONE);
    else
        free_entry(entry);
    clear_uploads_bit_when_settled();
    show_upload_name();
}

namespace {

// Reads exactly n bytes unless the file ends or fails first.
int read_piece(int fd, uint8_t* buffer, int n) {
    int got = 0;
    while (got < n) {
        ssize_t r = read(fd, buffer + got, static_cast<size_t>(n - got));
        if (r <= 0) break;
        got += static_cast<int>(r);
    }
    return got;
}

// The entry the peer's "a" is taken to be about: the oldest accepted and unconfirmed one,
// the file the peer was writing or had just written. Null when none.
file_entry* upload_blamed() {
    if (sending.in_transit_queue.head != nullptr) return sending.in_transit_queue.head;
    return sending.send_queue.head;
}

void move_all(file_queue* from, file_queue* to, bool accepted_before) {
    while (file_entry* entry = queue_pop(from)) {
        if (accepted_before) entry->offered_again = 1;
        queue_append(to, entry);
    }
}

// The file as it is now is the one offered: the same inode, size and times.
bool same_as_offered(const struct stat& info, const file_entry* entry) {
    return info.st_dev == entry->device && info.st_ino == entry->inode &&
           info.st_size == entry->length && same_time(info.st_mtim, entry->sent_mtime) &&
           same_time(info.st_ctim, entry->sent_ctime);
}

// The file's bytes from its offset on: raw, or while both ends compress one zstd frame at the
// highest level whose compressor keeps ahead of the line. Until the link has measured the
// line, the speed given (-s, --speed) or the serial port's own says how fast it may be; with
// none of them it starts at the highest, and steps down when the line waits for it.
bool begin_data(file_entry* entry) {
    transfer_direction& stream = sending.stream;
    stream.phase = PHASE_DATA;
    stream.figures.file_size = entry->length;
    stream.figures.file_bytes_left = entry->length - entry->offset;
    if (!stream.squeezed) return true;
    start_watch();
    if (zout_begin(&sending.zout, entry->length - entry->offset,
                   zout_level(&sending.zout, line_rate_known())) == 0)
        return true;
    abort_upload(ST_READ_ERROR);
    return false;
}

// Opens the next accepted file at its offset; it joins in_transit_queue as current.
void start_next_file() {
    file_entry* entry = queue_pop(&sending.send_queue);
    if (entry == nullptr) return;
    transfer_direction& stream = sending.stream;
    stream.current = entry;
    // Non-blocking: a file replaced by a FIFO since it was listed must not stall the cycle.
    int fd = open_file(entry->name, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) {
        remember_reason(entry->name, strerror(errno));
        abort_upload(ST_OPEN_ERROR);
        return;
    }
    stream.fd = fd;
    // The file must still be the one that was listed and offered: a name swapped since then
    // for a link, or for another file, would send bytes nobody offered.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        (entry->inode != 0 && (info.st_dev != entry->device || info.st_ino != entry->inode))) {
        remember_reason(entry->name, "no longer the regular file that was offered");
        abort_upload(ST_OPEN_ERROR);
        return;
    }
    stream.digested = announcement.used.extended;
    // Changed since its offer: the receiver's copy will be told to fail its check.
    sending.changed = stream.digested && !same_as_offered(info, entry);
    entry->device = info.st_dev;
    entry->inode = info.st_ino;
    entry->sent_mtime = info.st_mtim;
    entry->sent_ctime = info.st_ctim;
    // An offset outside the file would make the byte count negative: a failed seek.
    if (entry->offset < 0 || entry->offset > entry->length ||
        lseek(fd, entry->offset, SEEK_SET) != static_cast<off_t>(entry->offset)) {
        abort_upload(ST_SIZE_ERROR);
        return;
    }
    stream.batched = announcement.used.history;
    stream.squeezed = announcement.used.compress && !stream.batched;
    stream.tail_len = 0;
    digest_start(&stream.digest);
    if (stream.batched && !sending.zout.open) {
        // The batch frame begins: the first file of the session, or the first after an abort.
        start_watch();
        if (zout_open_batch(&sending.zout, zout_level(&sending.zout, line_rate_known())) != 0) {
            abort_upload(ST_READ_ERROR);
            return;
        }
    }
    if (stream.batched && !sending.zout.open) {
        // The batch frame begins: the first file of the session, or the first after an abort.
        start_watch();
        if (zout_open_batch(&sending.zout, zout_level(&sending.zout, line_rate_known())) != 0) {
            abort_upload(ST_READ_ERROR);
            return;
        }
    }
    queue_append(&sending.in_transit_queue, entry);
    show_upload_name();
    if (stream.digested && entry->status == ST_RESUMED) {
        // An extended "r": the peer's first bytes are compared with ours before any data.
        stream.phase = PHASE_PREFIX;
        stream.figures.file_size = entry->length;
        stream.figures.file_bytes_left = entry->length - entry->offset;
        return;
    }
    begin_data(entry);
}

// The file's first `offset` bytes hashed, DIGEST_BUDGET a turn: equal to the peer's, the
// resume stands; otherwise its rule says whether the whole file goes or none of it.
piece_result hash_prefix() {
    transfer_direction& stream = sending.stream;
    file_entry* entry = stream.current;
    int got = digest_file(&stream.digest, stream.fd, entry->offset, DIGEST_BUDGET);
    if (got < 0) {
        abort_upload(ST_READ_ERROR);
        return piece_result::stop;
    }
    if (got == 0) return piece_result::stop;  // on in the next cycle
    if (digest_value(&stream.digest) == facts(entry).prefix_digest)
        sending.verdict = data_verdict::resume;
    else
        sending.verdict =
            facts(entry).otherwise == resume_or::whole ? data_verdict::whole : data_verdict::none;
    stream.phase = PHASE_VERDICT;
    return piece_result::moved;
}

// The peer takes nothing of the file: it ends 'e' here as there, no byte of it sent.
piece_result drop_current_file() {
    transfer_direction& stream = sending.stream;
    file_entry* entry = stream.current;
    stream_grew(&stream, &stats.upload, &sending.send_queue, -(entry->length - entry->offset));
    stream_uncount(&stream, entry);
    stream.figures.files_left -= 1;
    close_current_file();
    queue_remove(&sending.in_transit_queue, entry);
    if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
    finish_upload(entry, ST_EXISTS);
    show_upload_name();
    return piece_result::file_done;
}

piece_result send_verdict() {
    transfer_direction& stream = sending.stream;
    file_entry* entry = stream.current;
    const uint8_t byte = build_verdict(sending.verdict);
    if (stream.batched) {
        if (batch_room() < 1) return piece_result::stop;
        batch_put(&byte, 1, sending.verdict == data_verdict::none, false);
    } else {
        if (send_room(stream.channel) < 1) return piece_result::stop;
        send_write(stream.channel, &byte, 1);
        slice_moved(&stream, 1);
    }
    if (sending.verdict == data_verdict::none) return drop_current_file();
    if (sending.verdict == data_verdict::whole) {
        if (lseek(stream.fd, 0, SEEK_SET) != 0) {
            abort_upload(ST_SIZE_ERROR);
            return piece_result::stop;
        }
        stream_grew(&stream, &stats.upload, &sending.send_queue, entry->offset);
        entry->offset = 0;
    }
    return begin_data(entry) ? piece_result::moved : piece_result::stop;
}

// The file's last byte is out: the digest its offer carried follows, complemented when the
// file was not the one offered at its opening or is not now. The bytes sent are not hashed
// again: unchanged, they are the bytes offered; changed unseen, the receiver's check fails.
piece_result end_data() {
    transfer_direction& stream = sending.stream;
    if (!stream.digested) {
        close_current_file();
        return piece_result::file_done;
    }
    struct stat info;
    if (fstat(stream.fd, &info) != 0 || !same_as_offered(info, stream.current))
        sending.changed = true;
    const transfer_facts& f = facts(stream.current);
    uint64_t value = f.digest;
    if (sending.changed || !f.digested) value = ~value;
    if (bench_spoil_digest()) value = ~value;
    build_digest_trailer(stream.tail, value);
    stream.tail_len = 0;
    stream.phase = PHASE_DIGEST;
    return piece_result::moved;
}

// The digest's bytes as far as the slice and the channel take them.
piece_result send_digest() {
    transfer_direction& stream = sending.stream;
    if (stream.batched) {
        int n = std::min(DIGEST_BYTES - stream.tail_len, batch_room());
        if (n == 0) return piece_result::stop;
        batch_put(stream.tail + stream.tail_len, n, stream.tail_len + n == DIGEST_BYTES, false);
        stream.tail_len += n;
    } else {
        int n = std::min(DIGEST_BYTES - stream.tail_len, stream.slice_left);
        if (send_room(stream.channel) < n) return piece_result::stop;
        send_write(stream.channel, stream.tail + stream.tail_len, n);
        slice_moved(&stream, n);
        stream.tail_len += n;
    }
    if (stream.tail_len < DIGEST_BYTES) return piece_result::moved;
    close_current_file();
    return piece_result::file_done;
}

// A piece of the file into the batch frame, as much as it takes now.
piece_result send_batched_piece() {
    transfer_direction& stream = sending.stream;
    int64_t left = stream.figures.file_bytes_left;
    int n = static_cast<int>(std::min<int64_t>({left, batch_room(), SLICE_SIZE}));
    if (left > 0 && n == 0) return piece_result::stop;
    if (n > 0) {
        uint8_t piece[SLICE_SIZE];
        if (read_piece(stream.fd, piece, n) < n) {
            abort_upload(ST_READ_ERROR);
            return piece_result::stop;
        }
        batch_put(piece, n, n == left && !stream.digested, true);
        file_moved(&stream, n);
    }
    return stream.figures.file_bytes_left != 0 ? piece_result::moved : end_data();
}

// A compressed piece: the frame's bytes as far as the slice and the channel take them, and
// more of the file fed to the compressor whenever none are waiting.
piece_result send_squeezed_piece() {
    transfer_direction& stream = sending.stream;
    zframe_out* z = &sending.zout;
    const uint8_t* bytes = nullptr;
    int pending = zout_pending(z, &bytes);
    if (pending == 0) {
        int want = zout_wants(z);
        if (want == 0 && zout_done(z)) return end_data();
        uint8_t input[ZOUT_FLUSH_EVERY];
        if (want == 0 || read_piece(stream.fd, input, want) < want) {
            abort_upload(ST_READ_ERROR);  // the file shrank, or the compressor failed
            return piece_result::stop;
        }
        if (z->flushes > 0 && !z->stored && line_waits_for_compressor()) zout_step_down(z);
        int64_t began = ms_source();
        int64_t made = z->made;
        zout_feed(z, input, want);
        watch_ran(began, want, made);
        file_moved(&stream, want);
        return piece_result::moved;
    }
    int n = pending < stream.slice_left ? pending : stream.slice_left;
    if (send_room(stream.channel) < n) return piece_result::stop;
    send_write(stream.channel, bytes, n);
    zout_taken(z, n);
    slice_moved(&stream, n);
    return zout_done(z) ? end_data() : piece_result::moved;
}

// Moves one piece of the current file into its data channel.
piece_result send_piece() {
    transfer_direction& stream = sending.stream;
    if (stream.batched) return send_batched_piece();
    int n = piece_size(stream);
    if (send_room(stream.channel) < n) return piece_result::stop;
    if (n > 0) {
        uint8_t piece[SLICE_SIZE];
        if (read_piece(stream.fd, piece, n) < n) {
            abort_upload(ST_READ_ERROR);
            return piece_result::stop;
        }
        send_write(stream.channel, piece, n);
    }
    piece_moved(&stream, n);
    return stream.figures.file_bytes_left != 0 ? piece_result::moved : end_data();
}

constexpr stream_steps send_steps{hash_prefix, send_verdict, send_piece, send_squeezed_piece,
                                  send_digest};

}  // namespace

bool reoffers_due() {
    if (!announcement.used.reoffer) return false;
    if (sending.stream.abort_state != ABORT_NONE && sending.reoffer_notice) return true;
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue})
        for (const file_entry* e = q->head; e != nullptr; e = e->next)
            if (e->offered_again) return true;
    return false;
}

void on_receiver_abort() {
    recv_reset(CH_REQUESTS);
    sending.request_pos = 0;
    abort_upload(ST_UPLOAD_ABORTED);
}

void accept_outgoing(int64_t offset) {
    file_entry* entry = queue_pop(&sending.offered_queue);
    if (entry == nullptr) return;
    entry->status = 0;
    stream_accept(&sending.stream, entry, offset);
    rates_accept(&stats.upload, entry);
    queue_append(&sending.send_queue, entry);
    note_activity();
}

void accept_verified_resume(const resume_answer& resume) {
    file_entry* entry = sending.offered_queue.head;
    if (entry == nullptr) return;
    accept_outgoing(resume.offset);
    entry->status = ST_RESUMED;  // start_next_file: its first bytes are compared first
    if (transfer_facts* f = facts_of(entry); f != nullptr) {  // made for its extended offer
        f->prefix_digest = resume.digest;
        f->otherwise = resume.otherwise;
    }
}

void check_failed_sent() {
    file_entry* entry = sending.in_transit_queue.head;
    if (entry == nullptr) return;
    queue_pop(&sending.in_transit_queue);
    sending.stream.figures.files_left -= 1;
    stream_uncount(&sending.stream, entry);
    if (transfer_facts* f = facts_of(entry); f == nullptr || ++f->checks_failed >= MAX_CHECKS) {
        report_name("sending", entry->name, "the peer's copy failed its check again: given up");
        log_upload(LOG_UPLOAD_FAILED, entry);
        finish_upload(entry, ST_CHECK_FAILED);
    } else {
        // Offered once more, after the files queued now, whole and hashed anew.
        report_name("sending", entry->name, "the peer's copy failed its check: sent again");
        entry->offset = 0;
        entry->status = 1;
        entry->offered_again = 1;
        queue_append(&files.upload_queue, entry);
    }
    show_upload_name();
}

namespace {

// A request of a peer that announces nothing may name a file in code page 437 (an old BBS):
// when its bytes find nothing and are no UTF-8, their CP437 reading is looked up, and the
// files found are offered under the peer's own bytes. Returns the entries made.
int serve_lookup(const char* name) {
    file_entry* before = files.upload_queue.tail;
    int found = add_requested_files(name, announcement.used.extended);
    char read_as[REQUEST_BUFFER_SIZE * 3];
    if (found > 0 || announcement.used.utf8_names || utf8_valid(name) ||
        cp437_to_utf8(read_as, sizeof read_as, name) < 0)
        return found;
    found = add_upload_name(read_as, 0);
    file_entry* next = before != nullptr ? before->next : files.upload_queue.head;
    while (file_entry* entry = next) {
        next = entry->next;
        file_entry* named = new_entry_with_alias(entry->name, name);
        if (named == nullptr) continue;  // offered under its own name
        memcpy(static_cast<void*>(named), entry, offsetof(file_entry, name));
        entry->facts = nullptr;  // the new entry owns them now
        queue_remove(&files.upload_queue, entry);
        free_entry(entry);
        queue_append(&files.upload_queue, named);
    }
    return found;
}

}  // namespace

void serve_request() {
    uint8_t byte = 0;
    while (send_room(CH_STATUS) > 0 && recv_read(CH_REQUESTS, &byte, 1) == 1) {
        if (sending.request_pos >= REQUEST_BUFFER_SIZE) internal_error_exit(INTERNAL_ERROR_REQUEST);
        sending.request_buffer[sending.request_pos++] = byte;
        if (byte != 0) continue;
        const char* name = parse_request(sending.request_buffer, sending.request_pos);
        uint8_t letter = ST_DENIED;
        // Wildcards are served only to a peer of this kind: toward any other the answers
        // stay what they were, a name with '*' looked up as it stands.
        // A directory comes as a tree only from an end serving trees (--recursive) to one
        // that keeps them: an -r BBS never starts serving subtrees.
        if (session.serve_requests) {
            bool found = serve_lookup(name) > 0 || (files.trees_served && announcement.used.trees &&
                                                    add_requested_tree(name) > 0);
            letter = found ? ST_SERVED : ST_NOT_FOUND;
        }
        if (letter != ST_SERVED) {
            // Shown locally too; without memory for it only the peer learns of it.
            if (file_entry* entry = new_entry(name); entry != nullptr) {
                if (letter == ST_DENIED) remember_reason(name, "-r would serve it");
                finish_entry(entry, letter == ST_DENIED ? ST_DENIED_HERE : letter);
            }
        }
        sending.request_pos = 0;
        write_status_letter(letter);
        return;
    }
}

void send_data() {
    release_answers(false);
    // The batch frame's last bytes go out even when no file follows them.
    if (sending.zout.batch && sending.stream.abort_state == ABORT_NONE) batch_drain();
    run_stream(&sending.stream, send_steps, start_next_file);
}

bool stream_hash_due() {
    const transfer_direction& stream = sending.stream;
    return stream.current != nullptr && stream.phase == PHASE_PREFIX &&
           stream.abort_state == ABORT_NONE;
}

int64_t upload_file_bytes(int64_t stream) {
    return announcement.used.compress ? zout_file_at(&sending.zout, stream) : stream;
}

void abort_upload(char letter) {
    file_entry* current = sending.stream.current;
    int64_t unread = sending.stream.fd != -1 ? sending.stream.figures.file_bytes_left : 0;
    stream_closed(&sending.stream);
    sending.stream.current = nullptr;
    sending.stream.phase = PHASE_DATA;  // the stream's parse starts afresh
    sending.stream.tail_len = 0;
    // Our own failure is the current file's; the peer's is taken to be about the oldest
    // file it accepted, which is given up once it has been blamed too often.
    file_entry* failed = current;
    sending.held_count = 0;  // the answers of files offered again are not theirs any more
    if (letter == ST_STALLED || letter == ST_EARLY_ANSWER) {
        failed = upload_blamed();  // the file whose confirmation never came, or came early
    } else if (letter == ST_UPLOAD_ABORTED) {
        failed = upload_blamed();
        if (failed != nullptr && ++failed->blamed < MAX_BLAMED) failed = nullptr;
    }
    if (failed != nullptr) {
        if (queue_remove(&sending.in_transit_queue, failed) == 0)
            queue_remove(&sending.send_queue, failed);
        if (failed == current) failed->length -= unread;  // its line records the bytes read
        log_upload(LOG_UPLOAD_FAILED, failed);
        finish_upload(failed, static_cast<uint8_t>(letter));
    }
    sending.stream.abort_state = ABORT_TO_SEND;
    // The data stream has no end-of-file mark, so an abort drops it whole; every file not
    // yet confirmed is offered again, in its order, once the peer's "o" has come.
    file_queue again;
    move_all(&sending.in_transit_queue, &again, true);
    move_all(&sending.send_queue, &again, true);
    move_all(&sending.offered_queue, &again, true);
    sending.reoffer_notice = again.head != nullptr && announcement.used.reoffer;
    offer_first(&again);
    send_reset(CH_OFFERS);
    if (sending.hash.fd != -1) close(sending.hash.fd);
    sending.hash = offer_hash{};
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) send_reset(ch);
    stream_restart(&sending.stream);
    zout_reset(&sending.zout, sending.stream.stream_moved, sending.stream.figures.bytes_moved);
    rates_restart(&stats.upload, &sending.stream.figures);
    show_upload_name();
}

void uploads_peer_lost() {
    // As at the end of a run, each file under way gets its line, the current one with the
    // bytes read so far; then every unconfirmed file is offered again to the new peer.
    file_entry* current = sending.stream.current;
    if (sending.stream.fd != -1) {
        const int64_t length = current->length;
        current->length -= sending.stream.figures.file_bytes_left;
        log_upload(LOG_UPLOAD_FAILED, current);
        current->length = length;
    }
    for (file_entry* e = sending.in_transit_queue.head; e != nullptr; e = e->next)
        if (e != current || sending.stream.fd == -1) log_upload(LOG_UPLOAD_FAILED, e);
    stream_closed(&sending.stream);
    sending.stream.current = nullptr;
    sending.stream.phase = PHASE_DATA;
    sending.stream.tail_len = 0;
    sending.stream.abort_state = ABORT_NONE;
    file_queue again;
    move_all(&sending.in_transit_queue, &again, true);
    move_all(&sending.send_queue, &again, true);
    move_all(&sending.offered_queue, &again, false);
    offer_first(&again);
    if (sending.hash.fd != -1) close(sending.hash.fd);
    sending.hash = offer_hash{};
    sending.request_pos = 0;
    stream_restart(&sending.stream);
    zout_reset(&sending.zout, sending.stream.stream_moved, sending.stream.figures.bytes_moved);
    rates_restart(&stats.upload, &sending.stream.figures);
    show_upload_name();
}

void close_outgoing() {
    // The log line records the bytes actually read.
    if (sending.stream.fd != -1)
        sending.stream.current->length -= sending.stream.figures.file_bytes_left;
    stream_closed(&sending.stream);
    if (sending.hash.fd != -1) close(sending.hash.fd);
    sending.hash = offer_hash{};
    for (file_entry* e = sending.in_transit_queue.head; e != nullptr; e = e->next)
        log_upload(LOG_UPLOAD_FAILED, e);
    file_entry* next = sending.send_queue.head;
    if (next == nullptr) {
        next = sending.offered_queue.head;
        if (next == nullptr) next = files.upload_queue.head;
        if (next != nullptr) next->length = 0;
    }
    if (next != nullptr) log_upload(LOG_UPLOAD_FAILED, next);
    // Files accepted before an abort and not confirmed since were under way too.
    for (const file_queue* q : {&sending.offered_queue, &files.upload_queue})
        for (file_entry* e = q->head; e != nullptr; e = e->next)
            if (e->offered_again && e != next) {
                e->length = 0;
                log_upload(LOG_UPLOAD_FAILED, e);
            }
}

void show_upload_name() {
    const file_entry* entry = sending.in_transit_queue.head;
    display.file_name(UPLOAD_COLUMN, entry != nullptr ? shown_name(entry) : nullptr);
    stats.figures_due = true;
}
