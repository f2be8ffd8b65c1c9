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
