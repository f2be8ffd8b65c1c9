#include "platform/clock.h"

#include "platform/local_time_zone.h"

namespace kdv {
namespace {

class TSystemClock final : public IClock {
public:
    LocalTime Now() const override {
        return UtcToLocalTime(std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now()));
    }
};

}  // namespace

IClock& SystemClock() {
    static TSystemClock clock;
    return clock;
}

}  // namespace kdv

namespace kdv {
namespace {

class TSystemSteadyClock final : public ISteadyClock {
public:
    SteadyTime Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

ISteadyClock& SystemSteadyClock() {
    static TSystemSteadyClock clock;
    return clock;
}

}  // namespace kdv
