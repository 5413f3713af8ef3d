#include <unistd.h>

#include <initializer_list>
#include <utility>

#include "files/lists.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/display.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stall.h"
#include "session/stats.h"
#include "session/status.h"
#include "session/transfer.h"
#include "support/state.h"

std::string leftovers() {
    std::string out = link_leftovers();
    const std::pair<const char*, const file_queue*> queues[] = {
        {"upload_queue", &files.upload_queue},
        {"request_queue", &files.request_queue},
        {"offered_queue", &sending.offered_queue},
        {"send_queue", &sending.send_queue},
        {"in_transit_queue", &sending.in_transit_queue},
        {"receive_queue", &receiving.receive_queue},
        {"received_queue", &receiving.received_queue},
        {"requested_queue", &receiving.requested_queue}};
    for (const auto& [name, q] : queues)
        if (q->head != nullptr) out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

void reset_up_to_session() {
    for (file_queue* q : {&sending.offered_queue, &sending.send_queue, &sending.in_transit_queue,
                          &receiving.receive_queue, &receiving.received_queue,
                          &receiving.requested_queue, &receiving.retry_queue, &finished_queue})
        queue_free_all(q);
    // current_outgoing, when set, is in in_transit_queue and was freed with it.
    if (receiving.stream.current != nullptr) free_entry(receiving.stream.current);
    if (receiving.answer.entry != nullptr) free_entry(receiving.answer.entry);
    if (receiving.answer.fd != -1) close(receiving.answer.fd);
    if (sending.hash.fd != -1) close(sending.hash.fd);
    zframe_free(&sending.zout, &receiving.zin);
    session = session_options{};
    cycle = cycle_state{};
    receiving = receive_state{};
    sending = send_state{};
    status = status_state{};
    activity = activity_state{};
    announcement = announcement_state{};
    stats = stats_state{};
    stall = stall_state{};
    outcome = outcome_state{};
    finished_queue = file_queue{};
    chat = chat_state{};
    display = display_hooks{};
    reset_up_to_files();
}
