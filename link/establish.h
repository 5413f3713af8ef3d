// Link establishment (handshake) and the link pump.
//
// Interface summary:
//   link_establish (...)  returns the peer's identification byte once the link is up;
//                         failures leave through link_fail, or exit 20 (port not opened)
//   hex_digit (v), hex_value (x)
//   link_pump ()          clock_update, link_receive, supervise, link_transmit
#pragma once

#include <cstdint>

constexpr int handshake_version = 3;
constexpr int handshake_resend_s = 4;  // a new send pass once more than this has passed
constexpr uint8_t kestro_identification = 0x63;

// 0x19, "KESTRO", 0x18, " v1.0 "
extern const uint8_t link_banner[14];

struct establish_state {
    char mode_text[6] = "";
};

extern establish_state establish;

int link_establish(const uint8_t* banner, uint8_t identification, const char* device_path,
                   int32_t line_speed, int carrier_mode, char flow_letter, int terminal_flag,
                   int mode_word);
char hex_digit(int v);
int hex_value(int x);
void link_pump();
