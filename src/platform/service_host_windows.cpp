#include "platform/service_host.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/system_log.h"
#include "platform/termination_request_windows.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

// How long the service manager is told a pending state may take before the
// next report; the reports come more often than that while a start or a
// stop is in hand, so a mail waiting for its server does not make the
// manager give up on the service.
constexpr DWORD kWaitHintMs = 5000;
constexpr std::chrono::milliseconds kPendingReportInterval{2000};

// The dispatcher calls the service's entry with no context of its own, so
// what it needs lies here, for the one service of the process.
struct THost {
    std::wstring name;
    const std::function<int(IServiceStatus&)>* lifecycle = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    SERVICE_STATUS status{};
    bool ended = false;
};

THost& Host() {
    static THost host;
    return host;
}

// Caller holds the mutex.
void ReportLocked(THost& host, DWORD state) {
    host.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    host.status.dwCurrentState = state;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    host.status.dwWaitHint = pending ? kWaitHintMs : 0;
    host.status.dwCheckPoint = pending ? host.status.dwCheckPoint + 1 : 0;
    // Stop, pause/continue and shutdown are taken once the start is done;
    // a stop during the start is handled after it, as on Linux.
    host.status.dwControlsAccepted =
        (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
            : 0;
    if (host.handle != nullptr) ::SetServiceStatus(host.handle, &host.status);
    host.changed.notify_all();
}

void Report(DWORD state) {
    THost& host = Host();
    std::lock_guard<std::mutex> lock(host.mutex);
    ReportLocked(host, state);
}

class TServiceManagerStatus final : public IServiceStatus {
public:
    void Running() override {
        THost& host = Host();
        std::lock_guard<std::mutex> lock(host.mutex);
        if (host.status.dwCurrentState == SERVICE_START_PENDING) ReportLocked(host, SERVICE_RUNNING);
    }
    void Stopping() override {
        THost& host = Host();
        std::lock_guard<std::mutex> lock(host.mutex);
        if (host.status.dwCurrentState != SERVICE_STOP_PENDING) ReportLocked(host, SERVICE_STOP_PENDING);
    }
};

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    THost& host = Host();
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            // A shutdown is a stop, too: the row or mail in hand is finished
            // and the stop lines are written, as at SIGTERM on Linux.
            {
                std::lock_guard<std::mutex> lock(host.mutex);
                ReportLocked(host, SERVICE_STOP_PENDING);
            }
            RequestTermination();
            return NO_ERROR;
        }
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: {
            // Pause is only a state: the cycles go on.
            std::lock_guard<std::mutex> lock(host.mutex);
            const DWORD now = host.status.dwCurrentState;
            if (now == SERVICE_RUNNING || now == SERVICE_PAUSED) {
                ReportLocked(host, control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING);
            }
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE: {
            std::lock_guard<std::mutex> lock(host.mutex);
            if (host.handle != nullptr) ::SetServiceStatus(host.handle, &host.status);
            return NO_ERROR;
        }
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Repeats a pending state with a new check point until it changes, so the
// manager sees the start or the stop advance.
void ReportWhilePending() {
    THost& host = Host();
    std::unique_lock<std::mutex> lock(host.mutex);
    while (!host.ended) {
        host.changed.wait_for(lock, kPendingReportInterval);
        if (host.ended) break;
        const DWORD state = host.status.dwCurrentState;
        if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ReportLocked(host, state);
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    THost& host = Host();
    host.handle = ::RegisterServiceCtrlHandlerExW(host.name.c_str(), OnControl, nullptr);
    if (host.handle == nullptr) {
        ReportToSystemLog(Utf8FromWide(host.name), WindowsErrorText(::GetLastError()));
        return;
    }
    Report(SERVICE_START_PENDING);
    std::thread pending(ReportWhilePending);
    TServiceManagerStatus status;
    int result = 1;
    try {
        result = (*host.lifecycle)(status);
    } catch (const std::exception& e) {
        ReportToSystemLog(Utf8FromWide(host.name), std::string("Service fehlgeschlagen: ") + e.what());
    }
    {
        std::lock_guard<std::mutex> lock(host.mutex);
        host.ended = true;
        host.changed.notify_all();
    }
    pending.join();
    std::lock_guard<std::mutex> lock(host.mutex);
    // A failed start ends with the service's own exit code, which the
    // service manager shows and logs.
    host.status.dwWin32ExitCode = result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    host.status.dwServiceSpecificExitCode = static_cast<DWORD>(result);
    ReportLocked(host, SERVICE_STOPPED);
    // The status handle must not be used after SERVICE_STOPPED; the exit
    // status stays in the status for RunServiceHost.
    host.lifecycle = nullptr;
    host.handle = nullptr;
}

}  // namespace

TServiceHostOutcome RunServiceHost(const std::string& name, const std::function<int(IServiceStatus&)>& lifecycle) {
    THost& host = Host();
    host.name = WideFromUtf8(name);
    host.lifecycle = &lifecycle;
    SERVICE_TABLE_ENTRYW table[] = {{host.name.data(), ServiceMain}, {nullptr, nullptr}};
    TServiceHostOutcome outcome;
    // Blocks until the service has stopped.
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        outcome.Result = error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? TServiceHostResult::NoServiceManager
                                                                          : TServiceHostResult::Failed;
        outcome.Error = WindowsErrorText(error);
        ReportToSystemLog(name, outcome.Error);
        outcome.ExitStatus = 1;
        return outcome;
    }
    std::lock_guard<std::mutex> lock(host.mutex);
    outcome.ExitStatus = static_cast<int>(host.status.dwServiceSpecificExitCode);
    return outcome;
}

}  // namespace kdv
