#include "service/service_runner.h"

namespace kdv {

int RunService(IServiceModule& module, ITerminationSignal& termination, IServiceStatus& status) {
    bool started = true;
    module.ServiceStart(started);
    if (!started) return 1;
    status.Running();
    while (!termination.Wait(module.PollTimer().Remaining())) {
        if (module.PollTimer().Due()) module.mailtimerTimer();
    }
    status.Stopping();
    bool stopped = true;
    module.ServiceStop(stopped);
    return 0;
}

int RunService(IServiceModule& module, ITerminationSignal& termination) {
    TUnreportedServiceStatus status;
    return RunService(module, termination, status);
}

int RunOnce(IServiceModule& module, ITerminationSignal& termination) {
    bool started = true;
    module.ServiceStart(started);
    if (!started) return 1;
    if (!termination.StopRequested()) module.mailtimerTimer();
    bool stopped = true;
    module.ServiceStop(stopped);
    return termination.StopRequested() ? 1 : 0;
}

}  // namespace kdv
