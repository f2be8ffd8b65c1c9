#include "platform/socket_state.h"

#include <winsock2.h>

namespace kdv {

bool IdleSocketClosedByPeer(std::intptr_t Socket) {
    if (Socket == static_cast<std::intptr_t>(INVALID_SOCKET)) return false;
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(Socket);
    entry.events = POLLRDNORM;
    // Zero time-out: only the state the system already knows. A handle that
    // is no socket makes WSAPoll fail, which counts as usable.
    if (::WSAPoll(&entry, 1, 0) != 1) return false;
    // Data on an idle connection is the peer's farewell (an error packet
    // before it closes), never an answer to anything.
    return (entry.revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
}

}  // namespace kdv
