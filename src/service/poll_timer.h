#pragma once
// The poll timer: one event `Interval` after it was last switched on. The
// cycle switches it off while it runs and on again at its end, so cycles never
// overlap and the period is the interval plus the cycle's own duration.
#include <chrono>

#include "platform/clock.h"

namespace kdv {

class TPollTimer {
public:
    static constexpr std::chrono::milliseconds kDefaultInterval{90000};

    // Enabled from the moment it exists: the first event is due one interval
    // after program start, not after the service reported running.
    explicit TPollTimer(ISteadyClock& clock, std::chrono::milliseconds interval = kDefaultInterval);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);

    std::chrono::milliseconds Interval() const { return interval_; }
    // Counts from the last switch-on as before, with the new length.
    void SetInterval(std::chrono::milliseconds interval) { interval_ = interval; }

    // Time until the next event; zero when it is due, kNever when switched off.
    std::chrono::milliseconds Remaining() const;
    bool Due() const { return Remaining() == std::chrono::milliseconds::zero(); }

    static constexpr std::chrono::milliseconds kNever = std::chrono::hours{24};

private:
    ISteadyClock& clock_;
    std::chrono::milliseconds interval_;
    bool enabled_ = true;
    SteadyTime since_;
};

}  // namespace kdv
