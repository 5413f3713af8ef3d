#include <utility>

#include "link/channels.h"
#include "link/codec.h"
#include "link/delivery.h"
#include "link/establish.h"
#include "link/failure.h"
#include "link/line_model.h"
#include "link/rate_meter.h"
#include "link/relink.h"
#include "link/retransmit.h"
#include "link/widen.h"
#include "support/state.h"

namespace {

void note(std::string& out, const std::string& what) { out += (out.empty() ? "" : ", ") + what; }

}  // namespace

std::string link_leftovers() {
    std::string out;
    for (int n = 0; n < LINK_CHANNELS; ++n) {
        if (channels.send_channels[n] != nullptr && send_queued(n) != 0)
            note(out, "send ring " + std::to_string(n));
        if (channels.recv_channels[n] != nullptr && recv_queued(n) != 0)
            note(out, "receive ring " + std::to_string(n));
    }
    const std::pair<const char*, const channel_queue*> scheduling[] = {
        {"ack_queue", &schedule.ack_queue},        {"resend_high", &schedule.resend_high},
        {"ready_high", &schedule.ready_high},      {"resend_low", &schedule.resend_low},
        {"ready_low", &schedule.ready_low},        {"wait_queue", &schedule.wait_queue},
        {"enquiry_queue", &schedule.enquiry_queue}};
    for (const auto& [name, q] : scheduling)
        if (q->first != nullptr) note(out, name);
    if (schedule.in_flight_total != 0) note(out, "bytes in flight");
    return out;
}

void reset_up_to_link() {
    free_link_channels();
    codec = codec_state{};
    frame_source = build_frame;
    frame_sink = handle_frame;
    raw_watch = nullptr;
    relink = relink_state{};
    delivery = delivery_state{};
    retransmit = retransmit_state{};
    line_model = line_model_state{};
    rate_meter = rate_meter_state{};
    establish = establish_state{};
    widen = widen_state{};
    widen_install_notice(nullptr);
    link_setup = link_setup_state{};
    termination = termination_state{};
    reset_up_to_serial();
}
