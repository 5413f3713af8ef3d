#include "session/receive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "files/lists.h"
#include "files/names.h"
#include "link/channels.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
#include "session/send.h"
#include "session/stats.h"

receive_state receiving;

namespace {

constexpr int ANSWER_ROOM = 5;        // a letter and a resume offset
constexpr int MAX_RENAME_TRIES = 999; // suffixes .0 to .999
constexpr int NEW_FILE_MODE = 0644;

// Outcome of looking at a file that may already exist under the wanted path.
enum class existing { answered, taken };

// Collects offer bytes; true once a whole record (header, name, NUL) is in offer_buffer.
bool collect_offer() {
    uint8_t byte = 0;
    while (recv_read(CH_OFFERS, &byte, 1) == 1) {
        if (receiving.offer_pos >= OFFER_BUFFER_SIZE) internal_error_exit(INTERNAL_ERROR_OFFER);
        receiving.offer_buffer[receiving.offer_pos++] = byte;
        if (receiving.offer_pos > OFFER_HEADER_SIZE && byte == 0) {
            receiving.offer_pos = 0;
            return true;
        }
    }
    return false;
}

// A name we would store under must be a plain name: a control character would forge log
// lines or steer the terminal that shows it, a direction mark would disguise it.
bool acceptable_offer(int32_t size, const char* base) {
    if (size < 0) return false;
    if (base[0] == 0 || strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return false;
    return !name_refused(base);
}

void refuse(file_entry* entry, uint8_t letter) {
    entry->status = letter;  // the log line is written before the entry is queued
    if (session.log_refusals) write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.upload.average_rate);
    finish_entry(entry, letter);
    write_status_letter(letter);
}

file_entry* entry_for(const char* name, const uint8_t* header) {
    file_entry* entry = new_entry(name);
    if (entry == nullptr) return nullptr;
    memcpy(&entry->time, header, OFFER_HEADER_SIZE);
    entry->offset = 0;
    return entry;
}

// A malformed offer is refused like any other, under a name safe to show and log.
void refuse_malformed(const uint8_t* header, const char* offered) {
    char shown[OFFER_BUFFER_SIZE];
    printable_name(shown, sizeof shown, offered);
    file_entry* entry = entry_for(shown, header);
    if (entry == nullptr) {
        write_status_letter(ST_TOO_MANY);
        return;
    }
    refuse(entry, ST_REFUSED);
}

// The file being written counts as waiting too: a second offer of it would otherwise be
// resumed from a length that is still growing and break the whole receiving side.
bool waiting_for(const char* path) {
    if (receiving.stream.current != nullptr &&
        strcasecmp(receiving.stream.current->name, path) == 0)
        return true;
    for (file_entry* e = receiving.receive_queue.head; e != nullptr; e = e->next)
        if (strcasecmp(e->name, path) == 0) return true;
    return false;
}

bool in_extra_dirs(const char* base, const char* suffix) {
    for (dir_node* d = files.extra_dirs.head; d != nullptr; d = d->next) {
        char path[PATH_SIZE];
        if (make_path(path, sizeof path, d->path, base, suffix) != 0) continue;
        if (file_exists(path)) return true;
    }
    return false;
}

void write_offset(int32_t offset) {
    uint8_t bytes[4];
    memcpy(bytes, &offset, 4);  // little-endian host, checked in files/entries.h
    send_write(CH_STATUS, bytes, 4);
}

// A file in our own upload queues, from the first queue to the confirmation: offered
// data written into it would mix two files, and -o would delete the upload.
bool one_of_our_uploads(const struct stat& st) {
    for (const file_queue* q : {&files.upload_queue, &sending.offered_queue, &sending.send_queue,
                                &sending.in_transit_queue})
        for (const file_entry* e = q->head; e != nullptr; e = e->next)
            if (e->inode == st.st_ino && e->device == st.st_dev && e->inode != 0) return true;
    return false;
}

bool same_file(int fd, const struct stat& st) {
    struct stat open_one;
    return fd >= 0 && fstat(fd, &open_one) == 0 && open_one.st_dev == st.st_dev &&
           open_one.st_ino == st.st_ino;
}

// Why an open descriptor may not take received data, or null when it may: only a regular
// file with no other name, so nothing is written through a link to a file elsewhere, and
// none this run writes itself: an offer resumed into the transfer log would forge its lines.
const char* unfit_target(int fd, struct stat* st) {
    if (fstat(fd, st) != 0) return strerror(errno);
    if (!S_ISREG(st->st_mode)) return "not a regular file";
    if (st->st_nlink != 1) return "a file with other links";
    if (one_of_our_uploads(*st)) return "a file being sent";
    if (same_file(stats.log_fd, *st)) return "the transfer log";
    if (same_file(receiving.stream.fd, *st)) return "a file being received";
    return nullptr;
}

// Opens a received file without following a link (O_NOFOLLOW), non-blocking and without
// a controlling terminal, so a FIFO or device planted under the name cannot stall or take
// us. -1 with errno set, or the reason in *unfit for a descriptor that is not usable.
int open_target(const char* path, int flags, struct stat* st, const char** unfit) {
    *unfit = nullptr;
    int fd = open_file(path, flags | O_RDWR | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, NEW_FILE_MODE);
    if (fd < 0) return -1;
    if ((*unfit = unfit_target(fd, st)) != nullptr) {
        close(fd);
        return -1;
    }
    return fd;
}

// A received file that cannot be created or written says why on standard error: without
// a screen the result letter alone reaches nobody.
void report_file_error(const char* what, const char* path, const char* reason) {
    char shown[PATH_SIZE];
    printable_name(shown, sizeof shown, path);
    char subject[PATH_SIZE + 32];
    snprintf(subject, sizeof subject, "%s %s", what, shown);
    console_reason(subject, reason);
}

// Resume, skip or overwrite an existing file. A missing file, or one that cannot be opened
// for writing, counts as new; a link, a directory, a file with other links or one of our
// uploads is taken.
existing look_at_existing(file_entry* entry, const char* path) {
    struct stat st {};
    const char* unfit = nullptr;
    int fd = open_target(path, 0, &st, &unfit);
    if (fd < 0 && unfit == nullptr && errno != ELOOP && errno != EISDIR) {
        accept_incoming(entry, 0, ST_ACCEPTED);
        return existing::answered;
    }
    if (fd < 0) return existing::taken;
    close(fd);
    if (session.resume_check) {
        if (st.st_size < entry->size) {
            int32_t length = static_cast<int32_t>(st.st_size);
            accept_incoming(entry, length, ST_RESUMED);
            write_offset(length);
            return existing::answered;
        }
        if (st.st_size == entry->size) {
            refuse(entry, ST_HAVE_IT);
            return existing::answered;
        }
    }
    if (session.overwrite_existing && unlink(path) == 0) {
        accept_incoming(entry, 0, ST_ACCEPTED);
        return existing::answered;
    }
    return existing::taken;
}

// Picks the local path for one complete offer record and answers it.
void answer_offer() {
    const uint8_t* header = receiving.offer_buffer;
    const char* offered = reinterpret_cast<const char*>(receiving.offer_buffer + OFFER_HEADER_SIZE);
    int32_t size = 0;
    memcpy(&size, header + 4, 4);

    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(offered, directory, sizeof directory, base, sizeof base) != 0 ||
        !acceptable_offer(size, base)) {
        refuse_malformed(header, offered);
        return;
    }

    bool receive_name_used = false;
    if (file_entry* given = queue_pop(&files.receive_names); given != nullptr) {
        int split = split_path(given->name, directory, sizeof directory, base, sizeof base);
        free_entry(given);
        if (split != 0) {
            refuse_malformed(header, offered);
            return;
        }
        receive_name_used = true;
    } else if (files.receive_names_given) {
        write_status_letter(ST_TOO_MANY);
        return;
    }
    if (!receive_name_used || directory[0] == 0)
        snprintf(directory, sizeof directory, "%s", files.download_dir);

    char suffix[16] = "";  // ".999" at most; room for any int, so no cut is possible
    for (int tries = 0;;) {
        char path[PATH_SIZE];
        if (make_path(path, sizeof path, directory, base, suffix) != 0) {
            refuse_malformed(header, offered);
            return;
        }
        file_entry* entry = entry_for(path, header);
        if (entry == nullptr) {
            write_status_letter(ST_TOO_MANY);
            return;
        }
        if (!session.accept_uploads) return refuse(entry, ST_REFUSED);
        if (waiting_for(path)) return refuse(entry, ST_DUPLICATE);
        if (!in_extra_dirs(base, suffix) && look_at_existing(entry, path) == existing::answered)
            return;
        // The name is taken.
        if (!session.rename_existing || tries > MAX_RENAME_TRIES) return refuse(entry, ST_EXISTS);
        free_entry(entry);
        snprintf(suffix, sizeof suffix, ".%d", tries);
        ++tries;
    }
}

// Opens the next accepted file and positions it at its offset.
void start_next_file() {
    file_entry* entry = queue_pop(&receiving.receive_queue);
    if (entry == nullptr) return;
    receiving.stream.current = entry;
    receiving.reception_started = 0;
    // The file is looked at again: a link or another name may have come since the offer.
    struct stat st {};
    const char* unfit = nullptr;
    int fd = open_target(entry->name, entry->status == ST_RESUMED ? 0 : O_CREAT | O_EXCL, &st, &unfit);
    if (fd < 0) {
        const char* what = entry->status == ST_RESUMED ? "cannot open" : "cannot create";
        report_file_error(what, entry->name, unfit != nullptr ? unfit : strerror(errno));
        abort_download(ST_OPEN_ERROR);
        return;
    }
    receiving.stream.fd = fd;
    if (lseek(fd, 0, SEEK_END) != static_cast<off_t>(entry->offset)) {
        abort_download(ST_SIZE_ERROR);
        return;
    }
    receiving.reception_started = 1;
    receiving.stream.figures.file_size = entry->size;
    receiving.stream.figures.file_bytes_left = entry->size - entry->offset;
    receiving.stream.squeezed = both_announced(CAP_COMPRESS);
    if (receiving.stream.squeezed && zin_begin(&receiving.zin, entry->size - entry->offset) != 0) {
        report_file_error("cannot receive", entry->name, strerror(ENOMEM));
        abort_download(ST_WRITE_ERROR);
        return;
    }
    show_download_name();
}

// A short write is followed by another, so a failure leaves its reason in errno.
bool write_whole(int fd, const uint8_t* bytes, int n) {
    while (n > 0) {
        ssize_t done = write(fd, bytes, static_cast<size_t>(n));
        if (done <= 0) {
            if (done == 0) errno = EIO;
            return false;
        }
        bytes += done;
        n -= static_cast<int>(done);
    }
    return true;
}

// The file's bytes, and its name in its directory, reach the disk before its "c": a sender
// told so may delete its copy (-y). The directory is synced for a resumed file too: the
// run that created it may have ended before its name was on the disk.
bool sync_received(int fd, const char* path) {
    if (fsync(fd) != 0) return false;
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(path, directory, sizeof directory, base, sizeof base) != 0) return false;
    int dir_fd = open(directory[0] != 0 ? directory : ".", O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) return false;
    bool synced = fsync(dir_fd) == 0;
    int saved = errno;
    close(dir_fd);
    errno = saved;
    return synced;
}

// What the check of a whole received file found.
enum class whole_file { kept, unsynced, lost };

// The one check between a file's last byte and its 'S' line and "c": its bytes are on the
// disk, and its name still leads to it. A file deleted, or replaced under its name, while
// it was written would otherwise be confirmed, and a sender with -y would delete the only
// copy. Says why not on standard error.
whole_file check_whole_file(int fd, const char* path) {
    if (!sync_received(fd, path)) {
        report_file_error("cannot sync", path, strerror(errno));
        return whole_file::unsynced;
    }
    struct stat held {};
    struct stat named {};
    if (fstat(fd, &held) != 0 || held.st_nlink == 0 || lstat(path, &named) != 0 ||
        named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
        report_file_error("not confirmed", path, "removed or replaced while it was received");
        return whole_file::lost;
    }
    return whole_file::kept;
}

// The current file has its last byte: checked, closed, and on its way to "c".
piece_result file_received() {
    transfer_figures& fig = receiving.stream.figures;
    if (!close_incoming()) {
        // Not on the disk under its name for sure: never confirmed, so the sender keeps its file.
        abort_download(ST_WRITE_ERROR);
        return piece_result::stop;
    }
    queue_append(&receiving.received_queue, receiving.stream.current);
    receiving.stream.current = nullptr;
    fig.files_left -= 1;
    if (fig.files_left == 0) {
        show_download_name();
        return piece_result::stop;
    }
    return piece_result::file_done;
}

bool write_piece(const uint8_t* bytes, int n) {
    if (n == 0 || write_whole(receiving.stream.fd, bytes, n)) return true;
    report_file_error("cannot write", receiving.stream.current->name, strerror(errno));
    abort_download(ST_WRITE_ERROR);
    return false;
}

// Writes one piece of the current file once all of it is in its data channel.
piece_result receive_piece() {
    int n = piece_size(receiving.stream);
    if (recv_queued(receiving.stream.channel) < n) return piece_result::stop;
    uint8_t piece[SLICE_SIZE];
    recv_read(receiving.stream.channel, piece, n);
    if (!write_piece(piece, n)) return piece_result::stop;
    piece_moved(&receiving.stream, n);
    return receiving.stream.figures.file_bytes_left != 0 ? piece_result::moved : file_received();
}

// The next bytes of the stream: those read past the last frame's end first, then what of the
// current slice has come.
int stream_bytes(uint8_t* bytes) {
    transfer_direction& stream = receiving.stream;
    if (int n = receiving.carry_len; n > 0) {
        memcpy(bytes, receiving.carry, static_cast<size_t>(n));
        receiving.carry_len = 0;
        return n;
    }
    int n = recv_queued(stream.channel) < stream.slice_left ? recv_queued(stream.channel) : stream.slice_left;
    recv_read(stream.channel, bytes, n);
    slice_moved(&stream, n);
    return n;
}

// A compressed piece: what has come of the frame, decompressed into the file. The frame's end
// ends the file; what follows it in the slice is kept for the next.
piece_result receive_squeezed_piece() {
    uint8_t input[SLICE_SIZE];
    int n = stream_bytes(input);
    if (n == 0) return piece_result::stop;
    size_t at = 0;
    for (;;) {
        uint8_t output[ZOUT_FLUSH_EVERY];
        size_t used = 0;
        size_t made = 0;
        zin_result r = zin_take(&receiving.zin, input + at, static_cast<size_t>(n) - at, output, sizeof output,
                                &used, &made);
        at += used;
        if (!write_piece(output, static_cast<int>(made))) return piece_result::stop;
        file_moved(&receiving.stream, static_cast<int>(made));
        if (r == ZIN_FAILED) {
            report_file_error("cannot receive", receiving.stream.current->name,
                              "its compressed data does not hold the bytes offered");
            abort_download(ST_WRITE_ERROR);
            return piece_result::stop;
        }
        if (r == ZIN_END) break;
        if (at == static_cast<size_t>(n) && made < sizeof output) return piece_result::moved;
    }
    receiving.carry_len = n - static_cast<int>(at);
    memcpy(receiving.carry, input + at, static_cast<size_t>(receiving.carry_len));
    return file_received();
}

}  // namespace

void decide_offer() {
    // An offer is read as the peer's opening block says: until it has come, none is.
    if (send_room(CH_STATUS) < ANSWER_ROOM || !peer_opened()) return;
    if (collect_offer()) answer_offer();
}

void accept_incoming(file_entry* entry, int32_t offset, char letter) {
    entry->status = static_cast<uint8_t>(letter);
    stream_accept(&receiving.stream, entry, offset);
    queue_append(&receiving.receive_queue, entry);
    rates_accept(&stats.download, entry);
    process.exit_status |= EXIT_DOWNLOADS_OUTSTANDING;  // until it is confirmed
    write_status_letter(static_cast<uint8_t>(letter));
    note_activity();
}

void send_requests() {
    if (receiving.stream.abort_state != ABORT_NONE) return;
    while (send_room(CH_REQUESTS) >= REQUEST_MIN_ROOM) {
        file_entry* entry = files.request_queue.head;
        if (entry == nullptr) return;
        size_t length = strlen(entry->name) + 1;
        if (length > static_cast<size_t>(REQUEST_CHANNEL_SIZE)) {
            finish_entry(queue_pop(&files.request_queue), STATUS_NAME_TOO_LONG);
            continue;
        }
        if (static_cast<int>(length) > send_room(CH_REQUESTS)) return;  // wait: written whole
        queue_pop(&files.request_queue);
        send_write(CH_REQUESTS, reinterpret_cast<const uint8_t*>(entry->name),
                   static_cast<int>(length));
        queue_append(&receiving.requested_queue, entry);
    }
}

void on_request_answer(char letter) {
    if (receiving.stream.abort_state != ABORT_NONE) return;
    file_entry* entry = queue_pop(&receiving.requested_queue);
    if (entry == nullptr) return;
    if (letter == ST_SERVED) free_entry(entry);  // the files come as ordinary offers
    else finish_entry(entry, static_cast<uint8_t>(letter));
}

void receive_data() {
    run_stream(&receiving.stream, receiving.stream.squeezed ? receive_squeezed_piece : receive_piece,
               start_next_file);
}

void confirm_received(file_entry* entry) {
    // Files confirmed together (the status channel was full for a while) end the batch once.
    if (receiving.stream.figures.files_left != 0 || receiving.received_queue.head != nullptr) {
        free_entry(entry);
        return;
    }
    finish_entry(entry, ST_DOWNLOADS_DONE);
    if (!receiving.download_failed) process.exit_status &= ~EXIT_DOWNLOADS_OUTSTANDING;
}

bool close_incoming() {
    whole_file check = whole_file::kept;
    if (receiving.stream.fd != -1) {
        file_entry* entry = receiving.stream.current;
        bool whole = receiving.reception_started && receiving.stream.figures.file_bytes_left == 0;
        if (whole) check = check_whole_file(receiving.stream.fd, entry->name);
        stream_closed(&receiving.stream);
        if (!receiving.reception_started) {
            // It held other bytes before this run: never logged as received, never deleted.
            if (session.log_refusals) write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.download.average_rate);
        } else if (whole && check == whole_file::kept) {
            write_log_line(LOG_RECEIVED, entry, file_completed(&stats.download, entry));
        } else if (session.delete_partial && check != whole_file::lost) {
            // A name that no longer leads to our file is never deleted: it may be another's.
            unlink(entry->name);
        } else if (session.log_refusals) {
            write_log_line(LOG_DOWNLOAD_FAILED, entry, file_rate(&stats.download, entry, false));
        }
        receiving.reception_started = 0;
    }
    stream_closed(&receiving.stream);
    return check == whole_file::kept;
}

namespace {

// Accepted files dropped unfinished keep the downloads bit of the exit status for the run.
void note_dropped_downloads() {
    if (receiving.stream.current != nullptr || receiving.receive_queue.head != nullptr)
        receiving.download_failed = 1;
}

}  // namespace

void abort_download(char letter) {
    note_dropped_downloads();
    if (receiving.stream.current != nullptr) {
        close_incoming();
        finish_entry(receiving.stream.current, static_cast<uint8_t>(letter));
        receiving.stream.current = nullptr;
    }
    receiving.stream.abort_state = ABORT_TO_SEND;
    queue_free_all(&files.request_queue);
    queue_free_all(&receiving.requested_queue);
    send_reset(CH_REQUESTS);
}

void on_peer_abort() {
    note_dropped_downloads();
    if (receiving.stream.current != nullptr) {
        close_incoming();
        finish_entry(receiving.stream.current, ST_DOWNLOAD_ABORTED);
        receiving.stream.current = nullptr;
    }
    queue_free_all(&receiving.receive_queue);
    queue_free_all(&receiving.received_queue);
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) recv_reset(ch);
    recv_reset(CH_OFFERS);
    receiving.offer_pos = 0;
    stream_restart(&receiving.stream);
    zin_reset(&receiving.zin);
    receiving.carry_len = 0;
    rates_restart(&stats.download, &receiving.stream.figures);
    show_download_name();
    receiving.stream.abort_state = ABORT_TO_ACK;
}

void show_download_name() {
    // The entry stays current after its last byte; the line shows it only while files are left.
    const file_entry* entry = receiving.stream.figures.files_left != 0 ? receiving.stream.current : nullptr;
    display.file_name(DOWNLOAD_COLUMN, entry != nullptr ? entry->name : nullptr);
}
