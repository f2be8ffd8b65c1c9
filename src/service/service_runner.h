#pragma once
// Drives a service module on the calling thread. Start, cycles and stop all run
// here one after another, which gives the guarantees the design leaves open:
// no cycle before the start has finished, and the stop (which releases the
// log) only after a running cycle has ended.
#include "platform/service_host.h"
#include "platform/termination_signal.h"
#include "service/service_module.h"

namespace kdv {

// Runs the start, then a cycle whenever the poll timer is due, until a
// termination request; then the stop. Returns 0, or 1 when the start failed.
// `status` hears when the start has finished (not after a failed one) and
// when the termination request is taken up, before the stop.
int RunService(IServiceModule& module, ITerminationSignal& termination, IServiceStatus& status);
// The same for a lifecycle that no service manager watches.
int RunService(IServiceModule& module, ITerminationSignal& termination);

// Runs the start, one cycle at once, and the stop. Returns 0, or 1 when the
// start failed (then neither cycle nor stop runs) or a termination request
// cut the run short: one during the start skips the cycle, one during the
// cycle lets it end first.
int RunOnce(IServiceModule& module, ITerminationSignal& termination);

}  // namespace kdv
