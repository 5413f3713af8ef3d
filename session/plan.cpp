#include "session/plan.h"

#include "link/channels.h"

void alloc_link_channels() {
    send_alloc(CH_CONTROL, CONTROL_RING_SIZE, CLASS_NORMAL);
    recv_alloc(CH_CONTROL, CONTROL_RING_SIZE);
    for (int n = CH_CHAT_FIRST; n <= CH_CHAT_LAST; ++n) {
        send_alloc(n, CHAT_SEND_SIZE, CLASS_MESSAGE);
        recv_alloc(n, CHAT_RECV_SIZE);
    }
    send_alloc(CH_OFFERS, OFFER_CHANNEL_SIZE, CLASS_NORMAL);
    recv_alloc(CH_OFFERS, RECORD_RECV_SIZE);
    send_alloc(CH_REQUESTS, REQUEST_CHANNEL_SIZE, CLASS_NORMAL);
    recv_alloc(CH_REQUESTS, RECORD_RECV_SIZE);
    send_alloc(CH_STATUS, STATUS_SEND_SIZE, CLASS_NORMAL);
    recv_alloc(CH_STATUS, STATUS_RECV_SIZE);
    for (int n = CH_DATA_FIRST; n <= CH_DATA_LAST; ++n) {
        send_alloc(n, DATA_RING_SIZE, CLASS_BULK);
        recv_alloc(n, DATA_RING_SIZE);
    }
}
