#include "serial/telnet.h"

telnet_state telnet;

namespace {

void queue(uint8_t verb, uint8_t option) {
    if (telnet.answer_count + 3 > TELNET_ANSWER_ROOM) {
        ++telnet.answers_dropped;
        return;
    }
    telnet.answers[telnet.answer_count++] = TN_IAC;
    telnet.answers[telnet.answer_count++] = verb;
    telnet.answers[telnet.answer_count++] = option;
}

// Our side of the options we offer; none for every other option (we refuse them all).
uint8_t* our_side(uint8_t option) {
    switch (option) {
    case TN_OPT_ECHO: return &telnet.us_echo;
    case TN_OPT_SGA: return &telnet.us_sga;
    case TN_OPT_BINARY: return &telnet.us_binary;
    default: return nullptr;
    }
}

// The client asks us to use an option (DO) or to stop (DONT). An answer to our own
// request gets no answer back: that is what keeps two ends from looping.
void client_asks_us(bool wants, uint8_t option) {
    uint8_t* side = our_side(option);
    if (side == nullptr) {
        if (wants) queue(TN_WONT, option);
        return;
    }
    if (wants) {
        if (*side == TN_NO) queue(TN_WILL, option);
        *side = TN_YES;
        return;
    }
    if (*side == TN_YES) queue(TN_WONT, option);
    if (*side != TN_NO && option == TN_OPT_BINARY) telnet.binary_refused = true;
    *side = TN_NO;
}

// The client offers to use an option (WILL) or stops (WONT). Only its BINARY is welcome.
void client_offers(bool will, uint8_t option) {
    if (option != TN_OPT_BINARY) {
        if (will) queue(TN_DONT, option);
        return;
    }
    if (will) {
        if (telnet.him_binary == TN_NO) queue(TN_DO, option);
        telnet.him_binary = TN_YES;
        return;
    }
    if (telnet.him_binary == TN_YES) queue(TN_DONT, option);
    if (telnet.him_binary != TN_NO) telnet.binary_refused = true;
    telnet.him_binary = TN_NO;
}

void take_option(uint8_t option) {
    ++telnet.commands_taken;
    switch (telnet.verb) {
    case TN_DO: client_asks_us(true, option); break;
    case TN_DONT: client_asks_us(false, option); break;
    case TN_WILL: client_offers(true, option); break;
    default: client_offers(false, option); break;
    }
}

// One byte after IAC. Returns 1 when it is the data byte 0xFF.
int after_iac(uint8_t b) {
    telnet.rx = TN_RX_DATA;
    if (b == TN_IAC) return 1;
    if (b >= TN_WILL && b <= TN_DONT) {
        telnet.verb = b;
        telnet.rx = TN_RX_OPTION;
    } else if (b == TN_SB) {
        telnet.rx = TN_RX_SUB;
    } else {
        ++telnet.commands_taken;  // NOP, go-ahead, break, a stray byte: nothing we act on
    }
    return 0;
}

}  // namespace

void telnet_start() {
    telnet = telnet_state{};
    telnet.active = true;
    telnet.us_echo = TN_WANT;
    telnet.us_sga = TN_WANT;
    telnet.us_binary = TN_WANT;
    telnet.him_binary = TN_WANT;
    queue(TN_WILL, TN_OPT_ECHO);
    queue(TN_WILL, TN_OPT_SGA);
    queue(TN_WILL, TN_OPT_BINARY);
    queue(TN_DO, TN_OPT_BINARY);
}

int telnet_input(uint8_t* bytes, int n) {
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        switch (telnet.rx) {
        case TN_RX_IAC:
            if (after_iac(b) == 1) bytes[kept++] = b;
            continue;
        case TN_RX_OPTION:
            telnet.rx = TN_RX_DATA;
            take_option(b);
            continue;
        case TN_RX_SUB:
            if (b == TN_IAC) telnet.rx = TN_RX_SUB_IAC;
            continue;
        case TN_RX_SUB_IAC:
            // IAC SE ends it; IAC IAC is a 0xFF inside it, skipped with the rest.
            telnet.rx = b == TN_SE ? TN_RX_DATA : TN_RX_SUB;
            if (b == TN_SE) ++telnet.commands_taken;
            continue;
        case TN_RX_CR:
            telnet.rx = TN_RX_DATA;
            if (b == TN_NUL) continue;
            break;
        default: break;
        }
        if (b == TN_IAC) {
            telnet.rx = TN_RX_IAC;
            continue;
        }
        // Outside binary mode a CR travels as CR NUL; in binary mode a NUL after a CR is data.
        if (b == TN_CR && telnet.him_binary != TN_YES) telnet.rx = TN_RX_CR;
        bytes[kept++] = b;
    }
    return kept;
}

int telnet_output(const uint8_t* in, int n, uint8_t* out, int room, int* used) {
    const bool binary = telnet.us_binary == TN_YES;
    int put = 0;
    int taken = 0;
    for (; taken < n; ++taken) {
        const uint8_t b = in[taken];
        const bool doubled = b == TN_IAC || (b == TN_CR && !binary);
        if (put + (doubled ? 2 : 1) > room) break;
        out[put++] = b;
        if (doubled) out[put++] = b == TN_IAC ? TN_IAC : TN_NUL;
    }
    *used = taken;
    return put;
}

int telnet_take_answers(uint8_t* out, int room) {
    int n = telnet.answer_count < room ? telnet.answer_count : room;
    // Whole commands only: a command cut here would be read as two by the client.
    n -= n % 3;
    for (int i = 0; i < n; ++i) out[i] = telnet.answers[i];
    for (int i = n; i < telnet.answer_count; ++i) telnet.answers[i - n] = telnet.answers[i];
    telnet.answer_count -= n;
    return n;
}

int telnet_binary_refused() { return telnet.binary_refused ? 1 : 0; }
