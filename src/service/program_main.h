#pragma once
#include <string>
#include <vector>

namespace kdv {

// The whole program behind main(): parses the command line, installs or
// uninstalls the service, or runs it. Returns the process exit status.
int DiravidMain(const std::vector<std::string>& args);

class Tdiravid;
class TMailEingangJobs;

// The one place that gives the module the jobs of its cycle and its IMAP
// set-up: the outbox scans, and the passes and connect of `mailEingang`.
void AssignServiceJobs(Tdiravid& module, TMailEingangJobs& mailEingang);

}  // namespace kdv
