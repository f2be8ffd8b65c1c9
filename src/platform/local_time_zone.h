#pragma once
// The machine's time zone, for turning a moment into the local date and time.
#include "platform/clock.h"

#include <chrono>

namespace kdv {

// The local wall-clock time of a UTC moment, with the regional time zone and
// daylight saving time that were in force at that moment.
LocalTime UtcToLocalTime(std::chrono::sys_time<std::chrono::milliseconds> utc);

}  // namespace kdv
