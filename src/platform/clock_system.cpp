#include "platform/clock.h"

#include <ctime>

namespace kdv {
namespace {

class TSystemClock final : public IClock {
public:
    LocalTime Now() const override {
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t secs = system_clock::to_time_t(now);
        std::tm tm{};
        localtime_r(&secs, &tm);
        const auto ms = duration_cast<milliseconds>(now.time_since_epoch()) % 1000;
        return LocalTime{duration_cast<milliseconds>(seconds{secs + tm.tm_gmtoff}) +
                         (ms.count() < 0 ? ms + milliseconds{1000} : ms)};
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
