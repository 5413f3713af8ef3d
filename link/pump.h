// The link pump: one turn of the whole link, run twice in every service cycle.
//
// Interface summary:
//   link_pump ()            clock_update, link_receive, supervise, link_transmit; failures
//                           leave through link_fail. Once the peer's goodbye came it only
//                           receives (nothing): the caller ends the run
//   peer_said_goodbye ()    true once the peer's goodbye came; link_peer_left ends the run
#pragma once

void link_pump();
bool peer_said_goodbye();
