#include "session/send.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/lists.h"
#include "link/channels.h"
#include "link/delivery.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
#include "session/stats.h"

send_state sending;

namespace {

// Aborts of the peer's receiving an upload may be taken to cause before it is given up
// rather than offered again: a file the peer cannot take never loops for ever.
constexpr uint8_t MAX_BLAMED = 2;

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

// Nothing is left to send, and everything named was sent or already at the peer.
void clear_uploads_bit_when_settled() {
    if (sending.upload_failed || files.upload_names_missing) return;
    if (sending.stream.figures.files_left != 0) return;
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue, &sending.send_queue,
                                &sending.in_transit_queue})
        if (q->head != nullptr) return;
    process.exit_status &= ~EXIT_UPLOADS_OUTSTANDING;
}

// A file -y does not delete: the user hears why, and -X logs it as not done.
void keep_sent_file(const file_entry* entry, const char* reason) {
    char subject[PATH_SIZE + 8];
    snprintf(subject, sizeof subject, "kept %s", entry->name);
    console_reason(subject, reason);
    if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// -y after the peer's "c": the file goes only while its name still leads to the very file
// that was sent, with the size sent and the times it had when it was opened. A file that
// grew, or was replaced, while it was sent holds bytes the peer never got.
void delete_sent_file(const file_entry* entry) {
    struct stat now {};
    if (lstat(entry->name, &now) != 0) {
        if (errno != ENOENT) keep_sent_file(entry, strerror(errno));
        return;  // gone already: nothing to keep
    }
    if (!S_ISREG(now.st_mode) || now.st_dev != entry->device || now.st_ino != entry->inode)
        keep_sent_file(entry, "another file stands under its name now");
    else if (now.st_size != entry->size || !same_time(now.st_mtim, entry->sent_mtime) ||
             !same_time(now.st_ctim, entry->sent_ctime))
        keep_sent_file(entry, "changed since it was sent");
    else if (unlink(entry->name) != 0)
        keep_sent_file(entry, strerror(errno));
}

// The current file is read to its end: it stays in in_transit_queue until "c".
void close_current_file() {
    stream_closed(&sending.stream);
    sending.stream.current = nullptr;
}

}  // namespace

void offer_refused(uint8_t letter) {
    file_entry* entry = queue_pop(&sending.offered_queue);
    if (entry == nullptr) return;
    if (letter == ST_HAVE_IT) {
        // A file of the same name and size is not known to be this one: -y keeps it.
        if (session.delete_sent) keep_sent_file(entry, "the peer's file matches it by size only");
    } else if (letter != ST_EXISTS || session.log_refusals) {
        log_upload(LOG_UPLOAD_FAILED, entry);
    }
    finish_upload(entry, letter);
    if (letter == ST_HAVE_IT) clear_uploads_bit_when_settled();
}

void confirm_sent() {
    file_entry* entry = sending.in_transit_queue.head;
    if (entry == nullptr) return;
    if (entry == sending.stream.current) {
        // An empty remainder (an empty file, or a resume at its end) needs no data, so the
        // peer may confirm it before our next cycle closes it: close it now. With bytes
        // still to send, the confirmation cannot be true.
        if (sending.stream.figures.file_bytes_left != 0) return;
        if (sending.stream.squeezed && !zout_done(&sending.zout)) return;
        close_current_file();
    }
    queue_pop(&sending.in_transit_queue);
    sending.stream.figures.files_left -= 1;
    write_log_line(LOG_SENT, entry, file_completed(&stats.upload, entry));
    if (session.delete_sent) delete_sent_file(entry);
    if (sending.stream.figures.files_left == 0)
        finish_entry(entry, ST_UPLOADS_DONE);
    else
        free_entry(entry);
    clear_uploads_bit_when_settled();
    show_upload_name();
}

namespace {

// Builds the offer record of an entry: its header and the whole base name of its path.
// Returns the record length, or 0 when the record could never fit the offer channel.
int build_offer(const file_entry* entry, uint8_t* record) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(entry->name, directory, sizeof directory, base, sizeof base) != 0) return 0;
    size_t length = strlen(base);
    if (length > static_cast<size_t>(MAX_ANNOUNCED_NAME)) return 0;
    memcpy(record, &entry->time, OFFER_HEADER_SIZE);
    memcpy(record + OFFER_HEADER_SIZE, base, length + 1);
    return OFFER_HEADER_SIZE + static_cast<int>(length) + 1;
}

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

// Opens a file about to be offered and reads its first byte: a file that cannot be read
// is never offered, since once accepted it could only end in the abort exchange. Its
// size, date and time are taken as they are now. Returns why not, or null.
const char* read_test(file_entry* entry, uint8_t* letter) {
    *letter = ST_OPEN_ERROR;
    int fd = open_file(entry->name, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) return strerror(errno);
    const char* why = nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        why = strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
    } else if (entry->inode != 0 && (info.st_dev != entry->device || info.st_ino != entry->inode)) {
        why = "replaced since it was listed";
    } else if (info.st_size > INT32_MAX) {
        why = "too large";
    } else if (info.st_size > 0) {
        uint8_t byte = 0;
        ssize_t got = pread(fd, &byte, 1, 0);
        if (got != 1) {
            *letter = ST_READ_ERROR;
            why = got < 0 ? strerror(errno) : "shorter than it was";
        }
    }
    close(fd);
    if (why != nullptr) return why;
    entry->size = static_cast<int32_t>(info.st_size);
    entry->time = dos_time(info.st_mtime);
    entry->date = dos_date(info.st_mtime);
    return nullptr;
}

// A file found unfit before its offer: the batch goes on without it.
void not_offered(file_entry* entry, uint8_t letter, const char* why) {
    char subject[PATH_SIZE + 16];
    snprintf(subject, sizeof subject, "cannot send %s", entry->name);
    console_reason(subject, why);
    if (session.log_refusals) log_upload(LOG_UPLOAD_FAILED, entry);
    finish_upload(entry, letter);
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

// Opens the next accepted file at its offset; it joins in_transit_queue as current.
void start_next_file() {
    file_entry* entry = queue_pop(&sending.send_queue);
    if (entry == nullptr) return;
    sending.stream.current = entry;
    // Non-blocking: a file replaced by a FIFO since it was listed must not stall the cycle.
    int fd = open_file(entry->name, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) {
        abort_upload(ST_OPEN_ERROR);
        return;
    }
    sending.stream.fd = fd;
    // The file must still be the one that was listed and offered: a name swapped since then
    // for a link, or for another file, would send bytes nobody offered.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        (entry->inode != 0 && (info.st_dev != entry->device || info.st_ino != entry->inode))) {
        abort_upload(ST_OPEN_ERROR);
        return;
    }
    entry->device = info.st_dev;
    entry->inode = info.st_ino;
    entry->sent_mtime = info.st_mtim;
    entry->sent_ctime = info.st_ctim;
    // An offset outside the file would make the byte count negative: a failed seek.
    if (entry->offset < 0 || entry->offset > entry->size ||
        lseek(fd, entry->offset, SEEK_SET) != static_cast<off_t>(entry->offset)) {
        abort_upload(ST_SIZE_ERROR);
        return;
    }
    sending.stream.figures.file_size = entry->size;
    sending.stream.figures.file_bytes_left = entry->size - entry->offset;
    // Both ends compress: the file's bytes from its offset on go as one zstd frame, at the
    // highest level whose compressor keeps ahead of the line. Until the link has measured the
    // line, the speed given (-s, --speed) or the serial port's own says how fast it may be.
    sending.stream.squeezed = both_announced(CAP_COMPRESS);
    int64_t rate = link_line_rate();
    if (rate == 0) rate = stats.line_speed / 10;
    if (rate == 0) rate = port_line_rate();
    if (sending.stream.squeezed && zout_begin(&sending.zout, entry->size - entry->offset, zframe_level(rate)) != 0) {
        abort_upload(ST_READ_ERROR);
        return;
    }
    queue_append(&sending.in_transit_queue, entry);
    show_upload_name();
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
        if (want == 0 && zout_done(z)) {
            close_current_file();
            return piece_result::file_done;
        }
        uint8_t input[ZOUT_FLUSH_EVERY];
        if (want == 0 || read_piece(stream.fd, input, want) < want) {
            abort_upload(ST_READ_ERROR);  // the file shrank, or the compressor failed
            return piece_result::stop;
        }
        zout_feed(z, input, want);
        file_moved(&stream, want);
        return piece_result::moved;
    }
    int n = pending < stream.slice_left ? pending : stream.slice_left;
    if (send_room(stream.channel) < n) return piece_result::stop;
    send_write(stream.channel, bytes, n);
    zout_taken(z, n);
    slice_moved(&stream, n);
    if (!zout_done(z)) return piece_result::moved;
    close_current_file();
    return piece_result::file_done;
}

// Moves one piece of the current file into its data channel.
piece_result send_piece() {
    int n = piece_size(sending.stream);
    if (send_room(sending.stream.channel) < n) return piece_result::stop;
    if (n > 0) {
        uint8_t piece[SLICE_SIZE];
        if (read_piece(sending.stream.fd, piece, n) < n) {
            abort_upload(ST_READ_ERROR);
            return piece_result::stop;
        }
        send_write(sending.stream.channel, piece, n);
    }
    piece_moved(&sending.stream, n);
    if (sending.stream.figures.file_bytes_left != 0) return piece_result::moved;
    close_current_file();
    return piece_result::file_done;
}

}  // namespace

void on_receiver_abort() {
    recv_reset(CH_REQUESTS);
    sending.request_pos = 0;
    abort_upload(ST_UPLOAD_ABORTED);
}

void accept_outgoing(int32_t offset) {
    file_entry* entry = queue_pop(&sending.offered_queue);
    if (entry == nullptr) return;
    entry->status = 0;
    stream_accept(&sending.stream, entry, offset);
    rates_accept(&stats.upload, entry);
    queue_append(&sending.send_queue, entry);
    note_activity();
}

void serve_request() {
    uint8_t byte = 0;
    while (send_room(CH_STATUS) > 0 && recv_read(CH_REQUESTS, &byte, 1) == 1) {
        if (sending.request_pos >= REQUEST_BUFFER_SIZE) internal_error_exit(INTERNAL_ERROR_REQUEST);
        sending.request_buffer[sending.request_pos++] = byte;
        if (byte != 0) continue;
        sending.request_pos = 0;
        const char* name = reinterpret_cast<const char*>(sending.request_buffer);
        uint8_t letter = ST_DENIED;
        if (session.serve_requests) letter = add_upload_name(name, 0) > 0 ? ST_SERVED : ST_NOT_FOUND;
        if (letter != ST_SERVED) {
            // Shown locally too; without memory for it only the peer learns of it.
            if (file_entry* entry = new_entry(name); entry != nullptr) finish_entry(entry, letter);
        }
        write_status_letter(letter);
        return;
    }
}

void send_offers() {
    // The peer's opening block says how it takes offers; a lost frame may delay it.
    if (sending.stream.abort_state != ABORT_NONE || !peer_opened()) return;
    uint8_t record[OFFER_CHANNEL_SIZE];
    while (send_room(CH_OFFERS) >= OFFER_MIN_ROOM) {
        file_entry* entry = files.upload_queue.head;
        if (entry == nullptr) return;
        int length = build_offer(entry, record);
        if (length == 0) {
            finish_upload(queue_pop(&files.upload_queue), STATUS_NAME_TOO_LONG);
            continue;
        }
        if (length > send_room(CH_OFFERS)) return;  // records are written whole
        queue_pop(&files.upload_queue);
        uint8_t letter = 0;
        if (const char* why = read_test(entry, &letter); why != nullptr) {
            not_offered(entry, letter, why);
            continue;
        }
        memcpy(record, &entry->time, OFFER_HEADER_SIZE);  // as the file is now
        send_write(CH_OFFERS, record, length);
        queue_append(&sending.offered_queue, entry);
    }
}

void send_data() {
    run_stream(&sending.stream, sending.stream.squeezed ? send_squeezed_piece : send_piece, start_next_file);
}

int64_t upload_file_bytes(int64_t stream) {
    return both_announced(CAP_COMPRESS) ? zout_file_at(&sending.zout, stream) : stream;
}

void abort_upload(char letter) {
    file_entry* current = sending.stream.current;
    int32_t unread = sending.stream.fd != -1 ? sending.stream.figures.file_bytes_left : 0;
    stream_closed(&sending.stream);
    sending.stream.current = nullptr;
    // Our own failure is the current file's; the peer's is taken to be about the oldest
    // file it accepted, which is given up once it has been blamed too often.
    file_entry* failed = current;
    if (letter == ST_UPLOAD_ABORTED) {
        failed = upload_blamed();
        if (failed != nullptr && ++failed->blamed < MAX_BLAMED) failed = nullptr;
    }
    if (failed != nullptr) {
        if (queue_remove(&sending.in_transit_queue, failed) == 0)
            queue_remove(&sending.send_queue, failed);
        if (failed == current) failed->size -= unread;  // its line records the bytes read
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
    move_all(&files.upload_queue, &again, false);
    files.upload_queue = again;
    send_reset(CH_OFFERS);
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) send_reset(ch);
    stream_restart(&sending.stream);
    zout_reset(&sending.zout, sending.stream.stream_moved, sending.stream.figures.bytes_moved);
    rates_restart(&stats.upload, &sending.stream.figures);
    show_upload_name();
}

void close_outgoing() {
    // The log line records the bytes actually read.
    if (sending.stream.fd != -1) sending.stream.current->size -= sending.stream.figures.file_bytes_left;
    stream_closed(&sending.stream);
    for (file_entry* e = sending.in_transit_queue.head; e != nullptr; e = e->next) log_upload(LOG_UPLOAD_FAILED, e);
    file_entry* next = sending.send_queue.head;
    if (next == nullptr) {
        next = sending.offered_queue.head;
        if (next == nullptr) next = files.upload_queue.head;
        if (next != nullptr) next->size = 0;
    }
    if (next != nullptr) log_upload(LOG_UPLOAD_FAILED, next);
    // Files accepted before an abort and not confirmed since were under way too.
    for (const file_queue* q : {&sending.offered_queue, &files.upload_queue})
        for (file_entry* e = q->head; e != nullptr; e = e->next)
            if (e->offered_again && e != next) {
                e->size = 0;
                log_upload(LOG_UPLOAD_FAILED, e);
            }
}

void show_upload_name() {
    const file_entry* entry = sending.in_transit_queue.head;
    display.file_name(UPLOAD_COLUMN, entry != nullptr ? entry->name : nullptr);
}
