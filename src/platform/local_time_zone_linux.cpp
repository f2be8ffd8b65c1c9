#include "platform/local_time_zone.h"

#include <ctime>

namespace kdv {

LocalTime UtcToLocalTime(std::chrono::sys_time<std::chrono::milliseconds> utc) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(utc);
    const std::time_t t = static_cast<std::time_t>(secs.time_since_epoch().count());
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return LocalTime{utc.time_since_epoch()};
    return LocalTime{utc.time_since_epoch() + seconds{tm.tm_gmtoff}};
}

}  // namespace kdv
