#include "platform/service_host.h"

namespace kdv {

// systemd (Type=simple) starts the program in the foreground and counts it
// as running from then on; nothing is reported.
TServiceHostOutcome RunServiceHost(const std::string&, const std::function<int(IServiceStatus&)>& lifecycle) {
    TUnreportedServiceStatus status;
    TServiceHostOutcome outcome;
    outcome.ExitStatus = lifecycle(status);
    return outcome;
}

}  // namespace kdv
