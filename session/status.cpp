#include "session/status.h"

#include "link/channels.h"
#include "session/receive.h"
#include "session/send.h"

status_state status;

namespace {

// The whole of an "r" answer: the basic 32-bit offset, or the extended answer.
void resume_answered() {
    bool extended = status.offset_length == EXTENDED_RESUME_BYTES;
    resume_answer resume = parse_resume(status.offset_bytes, extended);
    if (extended)
        accept_verified_resume(resume);
    else
        accept_outgoing(resume.offset);
}

void status_letter(uint8_t letter) {
    bool aborting = sending.stream.abort_state != ABORT_NONE;
    switch (letter) {
    case ST_ABORT_DOWNLOAD: on_receiver_abort(); break;
    case ST_ABORT_UPLOAD: on_peer_abort(); break;
    case ST_ABORT_SEEN: sending.stream.abort_state = ABORT_NONE; break;
    case ST_CONFIRMED:
        if (!aborting) confirm_sent();
        break;
    case ST_RESUMED:
        status.offset_length = resume_size(announcement.used.extended);
        status.offset_expected = status.offset_length;
        break;
    case ST_CHECK_FAILED:
        if (!aborting && announcement.used.extended) check_failed_sent();
        break;
    case ST_ACCEPTED:
        if (!aborting) accept_outgoing(0);
        break;
    case ST_EXISTS:
    case ST_DUPLICATE:
    case ST_REFUSED:
    case ST_TOO_MANY:
    case ST_HAVE_IT:
        if (!aborting) offer_refused(letter);
        break;
    case ST_SERVED:
    case ST_NOT_FOUND:
    case ST_DENIED:
        if (receiving.stream.abort_state == ABORT_NONE)
            on_request_answer(static_cast<char>(letter));
        break;
    default: break;  // unknown letters are dropped
    }
}

}  // namespace

void status_receiver() {
    uint8_t byte = 0;
    while (recv_read(CH_STATUS, &byte, 1) == 1) {
        if (status.offset_expected > 0) {
            status.offset_bytes[status.offset_length - status.offset_expected] = byte;
            if (--status.offset_expected == 0 && sending.stream.abort_state == ABORT_NONE)
                resume_answered();
            continue;
        }
        status_letter(byte);
    }
}

void drain_status_channel() {
    if (!recv_up(CH_STATUS)) return;  // the link never came up
    status_receiver();
}

void status_sender() {
    while (send_room(CH_STATUS) > 0) {
        if (sending.stream.abort_state == ABORT_TO_SEND) {
            sending.stream.abort_state = ABORT_SENT;
            write_status_letter(ST_ABORT_UPLOAD);
        } else if (receiving.stream.abort_state == ABORT_TO_SEND) {
            receiving.stream.abort_state = ABORT_SENT;
            write_status_letter(ST_ABORT_DOWNLOAD);
        } else if (receiving.stream.abort_state == ABORT_TO_ACK) {
            receiving.stream.abort_state = ABORT_NONE;
            write_status_letter(ST_ABORT_SEEN);
        } else if (file_entry* entry = queue_pop(&receiving.received_queue); entry != nullptr) {
            // In stream order: a file that failed its check is told so where its "c" would be.
            if (entry->status == ST_CHECK_FAILED) {
                write_status_letter(ST_CHECK_FAILED);
                check_failed_received(entry);
            } else {
                write_status_letter(ST_CONFIRMED);
                confirm_received(entry);
            }
        } else {
            return;
        }
    }
}
