#include "service/service_runner.h"

namespace kdv {

int RunService(IServiceModule& module, ITerminationSignal& termination) {
    bool started = true;
    module.ServiceStart(started);
    if (!started) return 1;
    while (!termination.Wait(module.PollTimer().Remaining())) {
        if (module.PollTimer().Due()) module.mailtimerTimer();
    }
    bool stopped = true;
    module.ServiceStop(stopped);
    return 0;
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
