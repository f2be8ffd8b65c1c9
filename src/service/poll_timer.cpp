#include "service/poll_timer.h"

namespace kdv {

TPollTimer::TPollTimer(ISteadyClock& clock, std::chrono::milliseconds interval)
    : clock_(clock), interval_(interval), since_(clock.Now()) {}

void TPollTimer::SetEnabled(bool value) {
    if (value && !enabled_) since_ = clock_.Now();
    enabled_ = value;
}

std::chrono::milliseconds TPollTimer::Remaining() const {
    using std::chrono::milliseconds;
    if (!enabled_) return kNever;
    const auto elapsed = std::chrono::duration_cast<milliseconds>(clock_.Now() - since_);
    return elapsed >= interval_ ? milliseconds::zero() : interval_ - elapsed;
}

}  // namespace kdv
