// The link pump: one turn of the whole link, run twice in every service cycle.
//
// Interface summary:
//   link_pump ()   clock_update, link_receive, supervise, link_transmit; failures leave
//                  through link_fail
#pragma once

void link_pump();
