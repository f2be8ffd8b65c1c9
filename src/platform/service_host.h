#pragma once
// The connection between the service's lifecycle (start, cycles, stop) and
// the system's service manager. On Linux systemd runs the program in the
// foreground and watches the process itself: there is nothing to connect
// and nothing to report, and a stop arrives as SIGTERM. On Windows the
// service control dispatcher runs the lifecycle on a thread of its own, the
// states go to the service manager, and its stop and shutdown arrive as the
// process's termination request (see termination_signal.h).
#include <functional>
#include <string>

namespace kdv {

// What the lifecycle tells the service manager.
class IServiceStatus {
public:
    virtual ~IServiceStatus() = default;
    // The start has finished; the cycles run.
    virtual void Running() = 0;
    // A stop request is carried out: the row or mail in hand is finished,
    // then the stop runs.
    virtual void Stopping() = 0;
};

// A status that reports nothing, for a lifecycle that no manager watches.
class TUnreportedServiceStatus final : public IServiceStatus {
public:
    void Running() override {}
    void Stopping() override {}
};

enum class TServiceHostResult {
    Ran,               // the lifecycle ran; ExitStatus is its result
    NoServiceManager,  // the program was not started by the service manager
    Failed,            // the connection to the service manager failed otherwise
};

struct TServiceHostOutcome {
    TServiceHostResult Result = TServiceHostResult::Ran;
    int ExitStatus = 0;
    std::string Error;  // the system's text when the lifecycle did not run
};

// Runs `lifecycle` as the service `name` and returns once it has ended. The
// lifecycle's result (0, or 1 after a failed start) is reported to the
// service manager as the service's exit code. Failures to connect are
// written to the system log (source `name`) as well.
TServiceHostOutcome RunServiceHost(const std::string& name, const std::function<int(IServiceStatus&)>& lifecycle);

}  // namespace kdv
