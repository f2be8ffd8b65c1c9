#pragma once
#include <string>
#include <vector>

namespace kdv {

// The whole program behind main(): parses the command line, installs or
// uninstalls the service, or runs it. Returns the process exit status.
int DiravidMain(const std::vector<std::string>& args);

}  // namespace kdv
