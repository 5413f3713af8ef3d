#include "session/receive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/lists.h"
#include "files/names.h"
#include "link/channels.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/display.h"
#include "session/results.h"
#include "session/send.h"
#include "session/stats.h"

receive_state receiving;

namespace {

constexpr int MAX_TEMPORARY_TRIES = 100;  // NAME.kestro-new, then .kestro-new.1 and on
constexpr const char* TEMPORARY_EXTENSION = ".kestro-new";
// For a NAME too long for that: this and 16 hex digits of NAME's hash.
constexpr const char* HASHED_TEMPORARY_PREFIX = "kestro-new.";
constexpr long DEFAULT_NAME_MAX = 255;  // a directory that does not say

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_state(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

// The current file's bytes from its offset on: raw, or one zstd frame that must hold exactly
// as many while both ends compress.
bool begin_data() {
    transfer_direction& stream = receiving.stream;
    file_entry* entry = stream.current;
    stream.phase = PHASE_DATA;
    stream.figures.file_size = entry->length;
    stream.figures.file_bytes_left = entry->length - entry->offset;
    if (!stream.squeezed || zin_begin(&receiving.zin, entry->length - entry->offset) == 0)
        return true;
    report_file_error("cannot receive", entry->name, strerror(ENOMEM));
    abort_download(ST_WRITE_ERROR);
    return false;
}

// Creates a file for the current entry, exclusively: an existing file is never written.
bool open_new(const char* path, uint8_t target) {
    struct stat st {};
    const char* unfit = nullptr;
    // A tree's file keeps its owner-execute bit, under our umask as every new file.
    int mode = receiving.stream.current->executable ? NEW_FILE_MODE | S_IXUSR : NEW_FILE_MODE;
    int fd = open_target(receiving.stream.current, path, O_CREAT | O_EXCL, mode, &st, &unfit);
    if (fd < 0) {
        report_file_error("cannot create", path, unfit != nullptr ? unfit : strerror(errno));
        abort_download(ST_OPEN_ERROR);
        return false;
    }
    receiving.stream.fd = fd;
    receiving.target = target;
    receiving.reception_started = 1;
    return true;
}

// A name is free only when nothing stands under it: a dangling symbolic link is no free
// name, since nothing may be created through it.
bool name_free(const char* path) {
    struct stat st {};
    return lstat(path, &st) != 0 && errno == ENOENT && !file_exists(path);
}

// The n-th temporary name for the file at `path`, in its directory: NAME.kestro-new, then
// NAME.kestro-new.1 and on; where that would pass the longest name the directory takes, a
// fixed prefix and a hash of NAME instead, so a later run finds it again all the same.
int temporary_name(char* out, size_t size, const char* path, int n) {
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(path, directory, sizeof directory, base, sizeof base) != 0) return -1;
    char extension[32] = "";
    if (n > 0) snprintf(extension, sizeof extension, ".%d", n);
    long name_max = pathconf(directory[0] != 0 ? directory : ".", _PC_NAME_MAX);
    if (name_max <= 0) name_max = DEFAULT_NAME_MAX;
    size_t length = strlen(base) + strlen(TEMPORARY_EXTENSION) + strlen(extension);
    if (length <= static_cast<size_t>(name_max)) {
        char full[48];
        snprintf(full, sizeof full, "%s%s", TEMPORARY_EXTENSION, extension);
        return make_path(out, size, directory, base, full);
    }
    char hashed[64];
    snprintf(hashed, sizeof hashed, "%s%016llx%s", HASHED_TEMPORARY_PREFIX,
             static_cast<unsigned long long>(XXH3_64bits(base, strlen(base))), extension);
    return make_path(out, size, directory, hashed, "");
}

// A temporary of an earlier run that ended before its rename (kill -9, a power cut) goes: a
// regular file of ours that no run holds locked. One another run is writing stays.
void remove_stale_temporary(const file_entry* entry, const char* path) {
    struct stat st {};
    const char* unfit = nullptr;
    int fd = open_target(entry, path, 0, 0, &st, &unfit);
    if (fd < 0) return;
    if (st.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0 && names_it(fd, entry, path))
        unlink_target(entry, path);
    close(fd);
}

// Creates the temporary under the n-th name and locks it for as long as it is ours: -1 when
// the name is not free (or another run took it meanwhile), else the descriptor. errno and
// *unfit say why creating it failed otherwise.
int create_temporary(const char* path, bool* taken, const char** unfit) {
    *taken = true;
    *unfit = nullptr;
    if (!name_free(path)) return -1;
    struct stat st {};
    const file_entry* entry = receiving.stream.current;
    int mode = entry != nullptr && entry->executable ? NEW_FILE_MODE | S_IXUSR : NEW_FILE_MODE;
    int fd = open_target(entry, path, O_CREAT | O_EXCL, mode, &st, unfit);
    if (fd < 0) {
        *taken = errno == EEXIST && *unfit == nullptr;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && names_it(fd, entry, path)) return fd;
    close(fd);
    return -1;
}

// -o with `extended`: the new file beside the old one, under a name of its own in the same
// directory, until its confirmation renames it over the old. Left-overs of the name go first.
bool open_temporary() {
    const char* path = receiving.stream.current->name;
    for (int n = 0; n < MAX_TEMPORARY_TRIES; ++n)
        if (temporary_name(receiving.temp_path, sizeof receiving.temp_path, path, n) == 0)
            remove_stale_temporary(receiving.stream.current, receiving.temp_path);
    for (int n = 0; n < MAX_TEMPORARY_TRIES; ++n) {
        if (temporary_name(receiving.temp_path, sizeof receiving.temp_path, path, n) != 0) break;
        bool taken = true;
        const char* unfit = nullptr;
        int fd = create_temporary(receiving.temp_path, &taken, &unfit);
        if (fd >= 0) {
            receiving.stream.fd = fd;
            receiving.target = TARGET_TEMPORARY;
            receiving.reception_started = 1;
            return true;
        }
        if (taken) continue;
        report_file_error("cannot create", receiving.temp_path,
                          unfit != nullptr ? unfit : strerror(errno));
        abort_download(ST_OPEN_ERROR);
        return false;
    }
    report_file_error("cannot create", path, "no free temporary name beside it");
    abort_download(ST_OPEN_ERROR);
    return false;
}

// -R after data_verdict::whole: the first free NAME.n is created, and the entry takes that name.
bool open_renamed() {
    transfer_direction& stream = receiving.stream;
    file_entry* entry = stream.current;
    char directory[NAME_PART_SIZE];
    char base[NAME_PART_SIZE];
    if (split_path(entry->name, directory, sizeof directory, base, sizeof base) == 0) {
        for (int n = 0; n <= MAX_RENAME_TRIES; ++n) {
            char suffix[16];
            char path[PATH_SIZE];
            snprintf(suffix, sizeof suffix, ".%d", n);
            if (make_path(path, sizeof path, directory, base, suffix) != 0) break;
            bool tree = entry->tree != 0;
            const char* name = tree ? entry_alias(entry) : base;
            if (!name_free(path) || waiting_for(path, tree) || in_extra_dirs(name, suffix, tree))
                continue;
            file_entry* renamed = new_entry_with_alias(path, entry_alias(entry));
            if (renamed == nullptr) {
                report_file_error("cannot create", path, strerror(ENOMEM));
                abort_download(ST_OPEN_ERROR);
                return false;
            }
            memcpy(static_cast<void*>(renamed), entry, offsetof(file_entry, name));
            entry->facts = nullptr;  // the renamed entry has them now
            free_entry(entry);
            stream.current = renamed;
            return open_new(renamed->name, TARGET_NEW);
        }
    }
    report_file_error("cannot create", entry->name, "no free name NAME.0 to NAME.999 for it");
    abort_download(ST_OPEN_ERROR);
    return false;
}

// A file resumed: it must still hold exactly the bytes it was answered with.
bool open_resumed(file_entry* entry) {
    struct stat st {};
    const char* unfit = nullptr;
    int fd = open_target(entry, entry->name, 0, NEW_FILE_MODE, &st, &unfit);
    if (fd < 0) {
        report_file_error("cannot open", entry->name, unfit != nullptr ? unfit : strerror(errno));
        abort_download(ST_OPEN_ERROR);
        return false;
    }
    receiving.stream.fd = fd;
    receiving.target = TARGET_APPENDED;
    if (lseek(fd, 0, SEEK_END) != static_cast<off_t>(entry->offset)) {
        abort_download(ST_SIZE_ERROR);
        return false;
    }
    // With `extended` nothing of this run goes into it before the verdict.
    if (!receiving.stream.digested) receiving.reception_started = 1;
    return true;
}

// -d names a folder for incoming files that may not be there yet (the manual's own
// example): made at the first file, as the user's files are, 0777 less the umask.
bool make_download_dir(const file_entry* entry) {
    struct stat st {};
    if (files.download_dir[0] == '\0' || stat(files.download_dir, &st) == 0) return true;
    if (mkdir(files.download_dir, 0777) == 0 || errno == EEXIST) return true;
    char reason[PATH_SIZE + 128];
    snprintf(reason, sizeof reason, "cannot create the folder %s: %s", files.download_dir,
             strerror(errno));
    report_file_error("cannot receive", entry->name, reason);
    return false;
}

// Opens the next accepted file and positions it at its offset.
void start_next_file() {
    file_entry* entry = queue_pop(&receiving.receive_queue);
    if (entry == nullptr) return;
    transfer_direction& stream = receiving.stream;
    stream.current = entry;
    receiving.reception_started = 0;
    stream.digested = announcement.used.extended;
    stream.batched = announcement.used.history;
    stream.squeezed = announcement.used.compress && !stream.batched;
    stream.tail_len = 0;
    digest_start(&stream.digest);
    // The batch frame begins with the first file of the session, or the first after an abort.
    if (stream.batched && !receiving.zin.open && zin_begin(&receiving.zin, ZIN_BATCH) != 0) {
        report_file_error("cannot receive", entry->name, strerror(ENOMEM));
        abort_download(ST_WRITE_ERROR);
        return;
    }
    // The file is looked at again: a link or another name may have come since the offer.
    bool opened = false;
    if (!make_download_dir(entry))
        abort_download(ST_OPEN_ERROR);
    else if (entry->status == ST_RESUMED)
        opened = open_resumed(entry);
    else if (facts(entry).taken == taken_rule::replace && stream.digested)
        opened = open_temporary();
    else
        opened = open_new(entry->name, TARGET_NEW);
    bool held = receiving.held_for == entry;
    receiving.held_for = nullptr;
    if (!opened) return;
    show_download_name();
    if (entry->status != ST_RESUMED || !stream.digested) {
        begin_data();
        return;
    }
    // Its first bytes are hashed again, unless the file is as it was when they were answered.
    stream.figures.file_size = entry->length;
    stream.figures.file_bytes_left = entry->length - entry->offset;
    struct stat now {};
    if (held && fstat(stream.fd, &now) == 0 && same_state(now, receiving.held_stat)) {
        stream.digest = receiving.held;
        stream.phase = PHASE_VERDICT;
    } else {
        stream.phase = PHASE_PREFIX;
    }
}

// The resumed file's first bytes, DIGEST_BUDGET a turn: they must be the ones answered.
piece_result hash_held_prefix() {
    transfer_direction& stream = receiving.stream;
    file_entry* entry = stream.current;
    int got = digest_file(&stream.digest, stream.fd, entry->offset, DIGEST_BUDGET);
    if (got == 0) return piece_result::stop;  // on in the next cycle
    if (got < 0 || digest_value(&stream.digest) != facts(entry).prefix_digest) {
        report_file_error("cannot resume", entry->name, "it changed after its offer was answered");
        abort_download(ST_SIZE_ERROR);
        return piece_result::stop;
    }
    stream.phase = PHASE_VERDICT;
    return piece_result::moved;
}

// Up to `max` bytes of the stream: those read past the last frame's end first, then what of
// the current slice has come.
int raw_take(uint8_t* bytes, int max) {
    transfer_direction& stream = receiving.stream;
    if (receiving.carry_len > 0) {
        int n = std::min(receiving.carry_len, max);
        memcpy(bytes, receiving.carry, static_cast<size_t>(n));
        receiving.carry_len -= n;
        memmove(receiving.carry, receiving.carry + n, static_cast<size_t>(receiving.carry_len));
        return n;
    }
    int n = std::min({recv_queued(stream.channel), stream.slice_left, max});
    if (n <= 0) return 0;
    recv_read(stream.channel, bytes, n);
    slice_moved(&stream, n);
    return n;
}

// Up to `max` bytes of the batch frame's stream, decompressed from what has come; -1 when
// the peer's bytes are no good frame.
int batch_take(uint8_t* bytes, int max) {
    if (receiving.unpacked_pos == receiving.unpacked_len) {
        uint8_t input[SLICE_SIZE];
        int n = raw_take(input, SLICE_SIZE);
        // Without new bytes the decompressor has more only when it filled the buffer last time.
        if (n == 0 && receiving.unpacked_len < static_cast<int>(sizeof receiving.unpacked))
            return 0;
        size_t used = 0;
        size_t made = 0;
        zin_result r = zin_take(&receiving.zin, input, static_cast<size_t>(n), receiving.unpacked,
                                sizeof receiving.unpacked, &used, &made);
        if (r == ZIN_FAILED) return -1;
        // What the decompressor did not take waits for the next call, before the slice's rest.
        int rest = n - static_cast<int>(used);
        memmove(receiving.carry + rest, receiving.carry, static_cast<size_t>(receiving.carry_len));
        memcpy(receiving.carry, input + used, static_cast<size_t>(rest));
        receiving.carry_len += rest;
        receiving.unpacked_pos = 0;
        receiving.unpacked_len = static_cast<int>(made);
    }
    int n = std::min(max, receiving.unpacked_len - receiving.unpacked_pos);
    memcpy(bytes, receiving.unpacked + receiving.unpacked_pos, static_cast<size_t>(n));
    receiving.unpacked_pos += n;
    return n;
}

// Up to `max` bytes of the stream as the file's part is sent: raw or in the batch frame.
int stream_take(uint8_t* bytes, int max) {
    if (!receiving.stream.batched) return raw_take(bytes, max);
    int n = batch_take(bytes, max);
    if (n >= 0) return n;
    report_file_error("cannot receive", receiving.stream.current->name,
                      "the peer's compressed stream is no good frame");
    abort_download(ST_WRITE_ERROR);
    return 0;
}

// Nothing settled is outstanding any more: the downloads bit of the exit status goes.
void settle_downloads() {
    if (receiving.stream.figures.files_left != 0 || receiving.received_queue.head != nullptr ||
        receiving.retry_queue.head != nullptr || receiving.download_failed)
        return;
    exit_status_clear(EXIT_DOWNLOADS_OUTSTANDING);
}

// data_verdict::none: the file held is not the sender's and the receiver takes nothing else: it
// ends 'e' here as there, untouched.
piece_result drop_current_file() {
    transfer_direction& stream = receiving.stream;
    file_entry* entry = stream.current;
    stream_closed(&stream);
    stream_grew(&stream, &stats.download, &receiving.receive_queue,
                -(entry->length - entry->offset));
    stream_uncount(&stream, entry);
    stream.figures.files_left -= 1;
    stream.current = nullptr;
    entry->status = ST_EXISTS;  // the log line is written before the entry is queued
    if (session.log_refusals)
        write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.download.average_rate);
    finish_entry(entry, ST_EXISTS);
    // The batch's other files may all have been confirmed while this one still counted: its
    // end is shown now, once they are.
    if (stream.figures.files_left == 0 && receiving.received_queue.head == nullptr &&
        stream.figures.total_files > 0)
        if (file_entry* done = new_entry(""); done != nullptr)
            finish_entry(done, ST_DOWNLOADS_DONE);
    if (stream.figures.files_left == 0) set_tree_times();
    settle_downloads();
    if (stream.figures.files_left != 0) return piece_result::file_done;
    show_download_name();
    return piece_result::stop;
}

// data_verdict::whole: the file held stays as it is; the whole new one goes where the rule for a
// taken name says: beside it, to replace it once confirmed (-o), or to NAME.n (-R).
piece_result take_whole_file() {
    transfer_direction& stream = receiving.stream;
    stream_closed(&stream);
    receiving.reception_started = 0;
    bool opened =
        facts(stream.current).taken == taken_rule::replace ? open_temporary() : open_renamed();
    if (!opened) return piece_result::stop;
    file_entry* entry = stream.current;
    stream_grew(&stream, &stats.download, &receiving.receive_queue, entry->offset);
    entry->offset = 0;
    digest_start(&stream.digest);
    show_download_name();
    return begin_data() ? piece_result::moved : piece_result::stop;
}

piece_result take_verdict() {
    transfer_direction& stream = receiving.stream;
    uint8_t byte = 0;
    if (stream_take(&byte, 1) == 0) return piece_result::stop;
    data_verdict v = data_verdict::resume;
    bool known = parse_verdict(byte, &v);
    if (known && v == data_verdict::resume) {
        receiving.reception_started = 1;
        return begin_data() ? piece_result::moved : piece_result::stop;
    }
    if (known && v == data_verdict::none) return drop_current_file();
    if (known && facts(stream.current).taken != taken_rule::refuse) return take_whole_file();
    report_file_error("cannot receive", stream.current->name,
                      "the peer's data stream is out of step");
    abort_download(ST_DATA_ERROR);
    return piece_result::stop;
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

// The current file is complete: checked, closed, and on its way to "c", or to "v" when its
// bytes are not the sender's.
piece_result file_received() {
    transfer_figures& fig = receiving.stream.figures;
    incoming_check check = close_incoming();
    if (check == incoming_check::failed) {
        // Not on the disk under its name for sure: never confirmed, so the sender keeps its file.
        abort_download(ST_WRITE_ERROR);
        return piece_result::stop;
    }
    file_entry* entry = receiving.stream.current;
    if (check == incoming_check::mismatch) entry->status = ST_CHECK_FAILED;
    queue_append(&receiving.received_queue, entry);
    receiving.stream.current = nullptr;
    fig.files_left -= 1;
    show_download_name();  // "-" until the next file opens: never a name beside other figures
    return fig.files_left == 0 ? piece_result::stop : piece_result::file_done;
}

bool write_piece(const uint8_t* bytes, int n) {
    if (n == 0) return true;
    transfer_direction& stream = receiving.stream;
    if (write_whole(stream.fd, bytes, n)) {
        if (stream.digested) digest_add(&stream.digest, bytes, static_cast<size_t>(n));
        return true;
    }
    report_file_error("cannot write", stream.current->name, strerror(errno));
    abort_download(ST_WRITE_ERROR);
    return false;
}

// The file's last byte is written: its digest follows, or it is complete.
piece_result end_data() {
    transfer_direction& stream = receiving.stream;
    if (!stream.digested) return file_received();
    stream.phase = PHASE_DIGEST;
    stream.tail_len = 0;
    return piece_result::moved;
}

piece_result take_digest() {
    transfer_direction& stream = receiving.stream;
    int n = stream_take(stream.tail + stream.tail_len, DIGEST_BYTES - stream.tail_len);
    stream.tail_len += n;
    if (stream.tail_len == DIGEST_BYTES) return file_received();
    return n > 0 ? piece_result::moved : piece_result::stop;
}

// The file bytes written and the compressed bytes that held them, where the sender flushed
// (every ZOUT_FLUSH_EVERY bytes of a frame) or the frame ended: the same points at which the
// sender counts them, so that both ends show one "Compression".
void mark_compressed(size_t made, bool frame_ended, int64_t consumed) {
    const file_entry* entry = receiving.stream.current;
    if (made == 0 || entry == nullptr) return;
    int64_t done = entry->length - entry->offset - receiving.stream.figures.file_bytes_left;
    int64_t before = done - static_cast<int64_t>(made);
    if (!frame_ended && before / ZOUT_FLUSH_EVERY == done / ZOUT_FLUSH_EVERY) return;
    stats.download.marked_file = receiving.stream.figures.bytes_moved;
    stats.download.marked_stream = consumed;
}

// Writes one piece of the current file once all of it is in its data channel.
piece_result receive_piece() {
    transfer_direction& stream = receiving.stream;
    if (stream.batched) {
        uint8_t piece[SLICE_SIZE];
        int64_t left = stream.figures.file_bytes_left;
        if (left == 0) return end_data();  // an empty remainder: its digest follows
        int n = stream_take(piece, static_cast<int>(std::min<int64_t>(left, SLICE_SIZE)));
        if (n == 0 || !write_piece(piece, n)) return piece_result::stop;
        file_moved(&stream, n);
        // The sender flushes at the file's end: there the compressed bytes taken hold it.
        mark_compressed(static_cast<size_t>(n), stream.figures.file_bytes_left == 0,
                        stream.stream_moved - receiving.carry_len);
        return stream.figures.file_bytes_left != 0 ? piece_result::moved : end_data();
    }
    int n = piece_size(receiving.stream);
    if (recv_queued(receiving.stream.channel) < n) return piece_result::stop;
    uint8_t piece[SLICE_SIZE];
    recv_read(receiving.stream.channel, piece, n);
    if (!write_piece(piece, n)) return piece_result::stop;
    piece_moved(&receiving.stream, n);
    return receiving.stream.figures.file_bytes_left != 0 ? piece_result::moved : end_data();
}

// A compressed piece: what has come of the frame, decompressed into the file. The frame's end
// ends the file's data; what follows it in the slice is kept for what comes next.
piece_result receive_squeezed_piece() {
    uint8_t input[SLICE_SIZE];
    int n = stream_take(input, SLICE_SIZE);
    if (n == 0) return piece_result::stop;
    size_t at = 0;
    for (;;) {
        uint8_t output[ZOUT_FLUSH_EVERY];
        size_t used = 0;
        size_t made = 0;
        zin_result r = zin_take(&receiving.zin, input + at, static_cast<size_t>(n) - at, output,
                                sizeof output, &used, &made);
        at += used;
        // Checked before the write: a frame that holds more than offered writes no byte past
        // the offered length.
        if (r == ZIN_FAILED) {
            report_file_error("cannot receive", receiving.stream.current->name,
                              "its compressed data does not hold the bytes offered");
            abort_download(ST_DATA_ERROR);
            return piece_result::stop;
        }
        if (!write_piece(output, static_cast<int>(made))) return piece_result::stop;
        file_moved(&receiving.stream, static_cast<int>(made));
        mark_compressed(
            made, r == ZIN_END,
            receiving.stream.stream_moved - receiving.carry_len - (n - static_cast<int64_t>(at)));
        if (r == ZIN_END) break;
        if (at == static_cast<size_t>(n) && made < sizeof output) return piece_result::moved;
    }
    receiving.carry_len = n - static_cast<int>(at);
    memcpy(receiving.carry, input + at, static_cast<size_t>(receiving.carry_len));
    return end_data();
}

constexpr stream_steps receive_steps{hash_held_prefix, take_verdict, receive_piece,
                                     receive_squeezed_piece, take_digest};

// Accepted files dropped unfinished keep the downloads bit of the exit status for the run.
void note_dropped_downloads() {
    if (receiving.stream.current != nullptr || receiving.receive_queue.head != nullptr)
        receiving.download_failed = 1;
}

// The parse of the data stream starts afresh with the next file after an abort.
void stream_parse_reset() {
    receiving.stream.phase = PHASE_DATA;
    receiving.stream.tail_len = 0;
    receiving.carry_len = 0;
    receiving.unpacked_pos = receiving.unpacked_len = 0;
}

}  // namespace

void accept_incoming(file_entry* entry, int64_t offset, char letter) {
    entry->status = static_cast<uint8_t>(letter);
    stream_accept(&receiving.stream, entry, offset);
    queue_append(&receiving.receive_queue, entry);
    rates_accept(&stats.download, entry);
    exit_status_add(EXIT_DOWNLOADS_OUTSTANDING);  // until it is confirmed
    write_status_letter(static_cast<uint8_t>(letter));
    note_activity();
}

void send_requests() {
    if (receiving.stream.abort_state != ABORT_NONE) return;
    while (send_room(CH_REQUESTS) >= REQUEST_MIN_ROOM) {
        file_entry* entry = files.request_queue.head;
        if (entry == nullptr) return;
        uint8_t record[REQUEST_CHANNEL_SIZE];
        int length = build_request(record, sizeof record, entry->name);
        if (length == 0) {
            finish_entry(queue_pop(&files.request_queue), STATUS_NAME_TOO_LONG);
            continue;
        }
        if (length > send_room(CH_REQUESTS)) return;  // wait: written whole
        queue_pop(&files.request_queue);
        send_write(CH_REQUESTS, record, length);
        queue_append(&receiving.requested_queue, entry);
    }
}

void on_request_answer(char letter) {
    if (receiving.stream.abort_state != ABORT_NONE) return;
    file_entry* entry = queue_pop(&receiving.requested_queue);
    if (entry == nullptr) return;
    if (letter == ST_SERVED) {
        free_entry(entry);  // the files come as ordinary offers
        return;
    }
    // Nothing comes of it: a download the caller asked for is outstanding.
    receiving.download_failed = 1;
    exit_status_add(EXIT_DOWNLOADS_OUTSTANDING);
    finish_entry(entry, static_cast<uint8_t>(letter));
}

void receive_data() { run_stream(&receiving.stream, receive_steps, start_next_file); }

void confirm_received(file_entry* entry) {
    note_file_done(entry, true);
    // Files confirmed together (the status channel was full for a while) end the batch once.
    if (receiving.stream.figures.files_left != 0 || receiving.received_queue.head != nullptr) {
        free_entry(entry);
        return;
    }
    finish_entry(entry, ST_DOWNLOADS_DONE);
    set_tree_times();  // every file in them written
    settle_downloads();
}

void check_failed_received(file_entry* entry) {
    stream_uncount(&receiving.stream, entry);
    if (transfer_facts* f = facts_of(entry); f == nullptr || ++f->checks_failed >= MAX_CHECKS) {
        // Given up at both ends: the sender counts the same letters.
        receiving.download_failed = 1;
        if (session.log_refusals)
            write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.download.average_rate);
        finish_entry(entry, ST_CHECK_FAILED);
        return;
    }
    queue_append(&receiving.retry_queue, entry);  // it is offered again
}

incoming_check close_incoming() {
    whole_file check = whole_file::kept;
    transfer_direction& stream = receiving.stream;
    if (stream.fd != -1) {
        file_entry* entry = stream.current;
        bool whole =
            receiving.reception_started && stream.figures.file_bytes_left == 0 &&
            (!stream.digested || (stream.phase == PHASE_DIGEST && stream.tail_len == DIGEST_BYTES));
        if (whole) check = check_whole_file(stream.fd, entry);
        int fd = stream.fd;
        stream.fd = -1;  // closed below: a temporary file is removed through it first
        if (!receiving.reception_started) {
            // It held other bytes before this run: never logged as received, never deleted.
            if (session.log_refusals)
                write_log_line(LOG_DOWNLOAD_FAILED, entry, stats.download.average_rate);
        } else if (whole && check == whole_file::kept) {
            write_log_line(LOG_RECEIVED, entry, file_completed(&stats.download, entry));
        } else if (check == whole_file::mismatch) {
            // Undone already; its fate is told with its "v".
        } else {
            if (receiving.target == TARGET_TEMPORARY) {
                // Half a replacement is nothing to resume: it goes, and the old file stays.
                if (names_it(fd, entry, receiving.temp_path))
                    unlink_target(entry, receiving.temp_path);
            } else if (session.delete_partial && check != whole_file::lost) {
                // A name that no longer leads to our file is never deleted: it may be another's.
                unlink_target(entry, entry->name);
            }
            if (session.log_refusals)
                write_log_line(LOG_DOWNLOAD_FAILED, entry,
                               file_rate(&stats.download, entry, false));
        }
        close(fd);
        receiving.reception_started = 0;
    }
    stream_closed(&stream);
    if (check == whole_file::kept) return incoming_check::kept;
    return check == whole_file::mismatch ? incoming_check::mismatch : incoming_check::failed;
}

void abort_download(char letter) {
    note_dropped_downloads();
    if (receiving.stream.current != nullptr) {
        // A file that could not be created or opened leaves close_incoming nothing to log.
        if (receiving.stream.fd == -1 && session.log_refusals)
            write_log_line(LOG_DOWNLOAD_FAILED, receiving.stream.current,
                           stats.download.average_rate);
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
    drop_incoming_stream();
    receiving.stream.abort_state = ABORT_TO_ACK;
}

void downloads_peer_lost() {
    // Nothing is given up for good: the new peer offers the files again, and the partial
    // one is resumed. Requests not answered go again.
    if (receiving.stream.current != nullptr) {
        // Kept even with -x: it is resumed once the new peer offers it again.
        const int delete_partial = session.delete_partial;
        session.delete_partial = 0;
        close_incoming();
        session.delete_partial = delete_partial;
        free_entry(receiving.stream.current);
        receiving.stream.current = nullptr;
    }
    drop_incoming_stream();
    receiving.stream.abort_state = ABORT_NONE;
    file_queue again;
    while (file_entry* entry = queue_pop(&receiving.requested_queue)) queue_append(&again, entry);
    while (file_entry* entry = queue_pop(&files.request_queue)) queue_append(&again, entry);
    while (file_entry* entry = queue_pop(&again)) queue_append(&files.request_queue, entry);
}

void drop_incoming_stream() {
    if (receiving.stream.current != nullptr) {
        close_incoming();
        finish_entry(receiving.stream.current, ST_DOWNLOAD_ABORTED);
        receiving.stream.current = nullptr;
    }
    queue_free_all(&receiving.receive_queue);
    queue_free_all(&receiving.received_queue);
    receiving.held_for = nullptr;
    for (int ch = CH_DATA_FIRST; ch <= CH_DATA_LAST; ++ch) recv_reset(ch);
    recv_reset(CH_OFFERS);
    receiving.offer_pos = 0;
    // An answer still being worked out belongs to an offer the peer gave up: it would be
    // taken for the answer to the next one.
    offer_answer& a = receiving.answer;
    if (a.fd != -1) close(a.fd);
    if (a.entry != nullptr) free_entry(a.entry);
    a = offer_answer{};
    stream_restart(&receiving.stream);
    zin_reset(&receiving.zin);
    stream_parse_reset();
    rates_restart(&stats.download, &receiving.stream.figures);
    show_download_name();
}

void expect_reoffer() { receiving.reoffer_until = serial.clock + reoffer_wait_s; }

bool reoffer_awaited() {
    return receiving.reoffer_until != 0 && serial.clock < receiving.reoffer_until;
}

void show_download_name() {
    // The line shows the current file only while files are left.
    const file_entry* entry =
        receiving.stream.figures.files_left != 0 ? receiving.stream.current : nullptr;
    display.file_name(DOWNLOAD_COLUMN, entry != nullptr ? shown_name(entry) : nullptr);
    stats.figures_due = true;
}
