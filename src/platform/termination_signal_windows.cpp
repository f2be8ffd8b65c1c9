#include <windows.h>

#include "platform/termination_request_windows.h"
#include "platform/termination_signal.h"

namespace kdv {
namespace {

// Manual reset: once raised it stays raised, for every waiter.
HANDLE RequestEvent() {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            RequestTermination();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends as soon as this handler returns; holding it
            // lets the main thread finish the mail in hand and end the
            // process itself, within the time the system grants (some
            // seconds), as SIGHUP and SIGTERM let it on Linux.
            RequestTermination();
            ::Sleep(INFINITE);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            // A user logging off ends no service and no job of the system.
            return TRUE;
        default:
            return FALSE;
    }
}

class TWindowsTerminationSignal final : public ITerminationSignal {
public:
    TWindowsTerminationSignal() { ::SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
    ~TWindowsTerminationSignal() override { ::SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

    bool Wait(std::chrono::milliseconds timeout) override {
        if (requested_) return true;
        const long long ms = timeout.count() < 0 ? 0 : timeout.count();
        const DWORD limit = ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
        if (::WaitForSingleObject(RequestEvent(), limit) == WAIT_OBJECT_0) requested_ = true;
        return requested_;
    }

private:
    bool requested_ = false;
};

}  // namespace

void RequestTermination() { ::SetEvent(RequestEvent()); }

std::unique_ptr<ITerminationSignal> CatchTerminationSignals() {
    RequestEvent();  // made now, before any handler may need it
    return std::make_unique<TWindowsTerminationSignal>();
}

}  // namespace kdv
