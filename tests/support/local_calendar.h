#pragma once
// The C library's view of the local calendar, as a second opinion beside
// the service's own clock and time zone code.
#include <ctime>

namespace kdv::testing {

// The local date and time at `t`, as the C library computes it.
std::tm LocalCalendarAt(std::time_t t);

}  // namespace kdv::testing
