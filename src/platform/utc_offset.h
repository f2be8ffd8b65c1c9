#pragma once
// How far the machine's local time is ahead of UTC at a given local time.
#include "platform/clock.h"

#include <chrono>

namespace kdv {

// The offset (local minus UTC) that the regional time zone and daylight
// saving time give at that local date and time. A local time that falls
// into the gap or the overlap of a clock change takes the offset the system
// chooses for it.
std::chrono::minutes UtcOffsetAt(LocalTime local);

}  // namespace kdv
