#pragma once
// The local wall clock behind a seam, so tests can cross midnight or skip days.
#include <chrono>

namespace kdv {

using LocalTime = std::chrono::local_time<std::chrono::milliseconds>;

class IClock {
public:
    virtual ~IClock() = default;
    // Current local date and time of the machine (regional time zone applied).
    virtual LocalTime Now() const = 0;
};

// The machine's own clock; lives for the whole process.
IClock& SystemClock();

}  // namespace kdv

namespace kdv {

using SteadyTime = std::chrono::steady_clock::time_point;

// A monotonic clock for intervals (the poll timer), immune to clock changes.
class ISteadyClock {
public:
    virtual ~ISteadyClock() = default;
    virtual SteadyTime Now() const = 0;
};

ISteadyClock& SystemSteadyClock();

}  // namespace kdv
