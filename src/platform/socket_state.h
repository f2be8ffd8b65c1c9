#pragma once
// What an idle connection's socket says without a round trip to its peer.
#include <cstdint>

namespace kdv {

// True when the socket of a connection that expects nothing from its peer
// has something to read or was closed: the peer ended the connection (a
// restarted server, a killed session), and a request sent on it would be
// lost. False when it looks usable or the handle is no socket.
bool IdleSocketClosedByPeer(std::intptr_t Socket);

}  // namespace kdv
