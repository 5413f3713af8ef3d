#include "link/widen.h"

#include <cstdio>

#include "link/codec.h"
#include "link/setup.h"
#include "serial/process.h"

widen_state widen;

namespace {

void (*notice_hook)(const char* text) = nullptr;  // outlives every link: installed once

constexpr uint8_t DEL = 0x7F;

void escape_both_ways(uint8_t byte) { set_char_flags(byte, CF_ESCAPE | CF_DROP); }

// Once per change: the user cannot know which byte the line damaged (a bad frame is
// dropped whole), only what we escape from now on.
void say_what_we_escape() {
    char line[120];
    snprintf(line, sizeof line, "Line damages bytes: %s.", widen_escape_text());
    console_error(line);
    console_error("\r\n");
    if (notice_hook != nullptr) notice_hook(line);
}

void clear_counts() {
    for (int c = 0; c < LINK_CHANNELS; ++c) widen.losses[c] = widen.asked[c] = 0;
}

}  // namespace

void widen_start(int peer_mode) {
    widen = widen_state{};
    const int own_mode = codec.link_mode;
    if (!(own_mode & MODE_WIDEN) || !(peer_mode & MODE_WIDEN)) return;
    // A printable line both ways already: nothing a line does to other bytes matters.
    if ((own_mode & MODE_B85_OUT) && (own_mode & MODE_B85_IN)) return;
    widen.level = WIDEN_DEFAULT;
    for (uint8_t byte : widen_default_set) escape_both_ways(byte);
    codec.link_mode |= MODE_ESC_OUT | MODE_ESC_IN;
    link_setup.char_flags[BRACE] |= CF_ESCAPE | CF_DROP;
    // `{{` is ours to open a base-85 frame while no list escapes `[`: both ends see the same
    // lists, so both decide alike.
    codec_printable_marks(link_setup.char_flags[DATA_BRACE] == 0);
}

void widen_block_lost(int channel, bool smallest) {
    // Only once the block is as short as blocks get: before that a shorter one may pass.
    if (widen.level == WIDEN_OFF || !smallest) return;
    if (++widen.losses[channel] < widen_losses) return;
    widen_step();
}

void widen_block_acked(int channel) { widen.losses[channel] = 0; }

void widen_unanswered(int count) {
    if (widen.level == WIDEN_OFF || widen.bad_frames < widen_silent_enquiries) return;
    if (count % widen_silent_enquiries == 0) widen_step();
}

void widen_frame_heard(bool good) { widen.bad_frames = good ? 0 : widen.bad_frames + 1; }

void widen_verdict_asked(int channel) {
    if (widen.level == WIDEN_OFF) return;
    if (++widen.asked[channel] < widen_asked) return;
    widen_step();
}

void widen_block_stored(int channel) { widen.asked[channel] = 0; }

bool widen_step() {
    clear_counts();
    if (widen.level == WIDEN_DEFAULT) {
        widen.level = WIDEN_CONTROLS;
        for (int byte = 0; byte < ' '; ++byte)
            set_char_flags(static_cast<uint8_t>(byte), CF_ESCAPE);
        set_char_flags(DEL, CF_ESCAPE);
    } else if (widen.level == WIDEN_CONTROLS && codec.printable_marks) {
        widen.level = WIDEN_PRINTABLE;
        codec_send_printable();
    } else {
        return false;
    }
    say_what_we_escape();
    return true;
}

void widen_install_notice(void (*notice)(const char* text)) { notice_hook = notice; }

const char* widen_escape_text() {
    switch (widen.level) {
    case WIDEN_OFF: return "nothing escaped";
    case WIDEN_DEFAULT: return "CR, XON, XOFF, 0x1D, 0x9D, ~ and 0xFF escaped";
    case WIDEN_CONTROLS: return "every control byte, 0x9D, ~ and 0xFF escaped";
    case WIDEN_PRINTABLE: return "sending printable text only";
    }
    return "";
}
