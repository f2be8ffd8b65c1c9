#include "platform/process_alive.h"

#include <windows.h>

#include <limits>

namespace kdv {

std::int64_t CurrentProcessId() { return static_cast<std::int64_t>(::GetCurrentProcessId()); }

bool IsProcessAlive(std::int64_t pid) {
    if (pid <= 0 || pid > std::numeric_limits<DWORD>::max()) return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        // A process of another user (a service) exists but may not be opened.
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    // An ended process stays openable while anyone holds a handle to it;
    // only its signalled state tells that it has ended.
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

}  // namespace kdv
