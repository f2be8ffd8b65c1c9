#include "platform/process_alive.h"

#include <cerrno>
#include <csignal>
#include <limits>
#include <sys/types.h>
#include <unistd.h>

namespace kdv {

std::int64_t CurrentProcessId() { return static_cast<std::int64_t>(getpid()); }

bool IsProcessAlive(std::int64_t pid) {
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
    // Signal 0 only asks whether the process exists; EPERM means it does,
    // under another user.
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace kdv
