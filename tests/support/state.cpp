#include "support/state.h"

#include <initializer_list>
#include <utility>

#include "files/lists.h"
#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/retransmit.h"
#include "link/supervise.h"
#include "serial/lock.h"
#include "serial/port.h"
#include "serial/process.h"
#include "session/chat.h"
#include "session/cycle.h"
#include "session/display.h"
#include "session/outcome.h"
#include "session/receive.h"
#include "session/send.h"
#include "session/stats.h"
#include "session/status.h"
#include "support/clock.h"
#include "ui/screen.h"

namespace {

[[noreturn]] void throw_run_ended(int code) { throw run_ended{code}; }

// Even a test that resets nothing must never end the test program.
[[maybe_unused]] const bool seam_set = (final_exit = throw_run_ended, true);

void note(std::string& out, const std::string& what) { out += (out.empty() ? "" : ", ") + what; }

}  // namespace

std::string leftovers() {
    std::string out;
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (channels.send_channels[n] != nullptr && send_queued(n) != 0)
            note(out, "send ring " + std::to_string(n));
        if (channels.recv_channels[n] != nullptr && recv_queued(n) != 0)
            note(out, "receive ring " + std::to_string(n));
    }
    const std::pair<const char*, const channel_queue*> scheduling[] = {
        {"ack_queue", &channels.ack_queue},   {"resend_high", &channels.resend_high},
        {"ready_high", &channels.ready_high}, {"resend_low", &channels.resend_low},
        {"ready_low", &channels.ready_low},   {"wait_queue", &channels.wait_queue},
        {"enquiry_queue", &channels.enquiry_queue}};
    for (const auto& [name, q] : scheduling)
        if (q->first != nullptr) note(out, name);
    if (channels.in_flight_total != 0) note(out, "bytes in flight");
    const std::pair<const char*, const file_queue*> queues[] = {
        {"upload_queue", &files.upload_queue},           {"request_queue", &files.request_queue},
        {"offered_queue", &sending.offered_queue},       {"send_queue", &sending.send_queue},
        {"in_transit_queue", &sending.in_transit_queue}, {"receive_queue", &receiving.receive_queue},
        {"received_queue", &receiving.received_queue},   {"requested_queue", &receiving.requested_queue}};
    for (const auto& [name, q] : queues)
        if (q->head != nullptr) note(out, name);
    return out;
}

void reset_all_state() {
    for (file_queue* q : {&files.upload_queue, &files.request_queue, &files.receive_names,
                          &sending.offered_queue, &sending.send_queue, &sending.in_transit_queue,
                          &receiving.receive_queue, &receiving.received_queue,
                          &receiving.requested_queue, &finished_queue})
        queue_free_all(q);
    // current_outgoing, when set, is in in_transit_queue and was freed with it.
    if (receiving.stream.current != nullptr) free_entry(receiving.stream.current);
    dir_list_free_all(&files.upload_dirs);
    dir_list_free_all(&files.extra_dirs);
    free_link_channels();
    zframe_free(&sending.zout, &receiving.zin);

    process = process_state{};
    final_exit = throw_run_ended;
    serial = serial_state{};
    no_hangup_flag = 1;
    time_source = system_time_source;
    ms_source = system_ms_source;
    fake_clock = fake_clock_state{};
    codec = codec_state{};
    frame_source = build_frame;
    frame_sink = handle_frame;
    delivery = delivery_state{};
    retransmit = retransmit_state{};
    establish = establish_state{};
    link_setup = link_setup_state{};
    port_lock_files = port_lock_state{};
    stop_signal = 0;
    stop_count = 0;
    suspend_requested = 0;
    termination = termination_state{};
    on_peer_goodbye = nullptr;
    files = files_state{};
    session = session_options{};
    cycle = cycle_state{};
    receiving = receive_state{};
    sending = send_state{};
    status = status_state{};
    activity = activity_state{};
    announcement = announcement_state{};
    stats = stats_state{};
    outcome = outcome_state{};
    finished_queue = file_queue{};
    chat = chat_state{};
    display = display_hooks{};
    screen = screen_state{};
}
