#pragma once
// Who the running test program is, for names of the things it makes that
// must not meet those of test programs running beside it.
#include <string>

namespace kdv::testing {

// The test program's process id.
unsigned long CurrentProcessId();
// A tag of the user the test program runs as (the user id on Linux, the
// user name on Windows).
std::string CurrentUserTag();

}  // namespace kdv::testing
