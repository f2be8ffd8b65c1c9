#include "support/test_process.h"

#include <unistd.h>

namespace kdv::testing {

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

std::string CurrentUserTag() { return std::to_string(::getuid()); }

}  // namespace kdv::testing
