#include "platform/socket_state.h"

#include <poll.h>

namespace kdv {

bool IdleSocketClosedByPeer(std::intptr_t Socket) {
    if (Socket < 0) return false;
    pollfd entry{};
    entry.fd = static_cast<int>(Socket);
    entry.events = POLLIN | POLLRDHUP;
    // Zero time-out: only the state the kernel already knows.
    if (::poll(&entry, 1, 0) != 1) return false;
    // Data on an idle connection is the peer's farewell (an error packet
    // before it closes), never an answer to anything.
    return (entry.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace kdv
