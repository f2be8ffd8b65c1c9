#include "platform/local_time_zone.h"

#include <windows.h>

#include "platform/windows_time.h"

namespace kdv {

LocalTime UtcToLocalTime(std::chrono::sys_time<std::chrono::milliseconds> utc) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(utc);
    SYSTEMTIME utcTime{};
    SYSTEMTIME localTime{};
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    // The dynamic zone knows the daylight saving rules of past years too.
    if (!ToSystemTime(sys_days{floor<days>(secs)}, secs - floor<days>(secs), utcTime) ||
        ::GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
        !::SystemTimeToTzSpecificLocalTimeEx(&zone, &utcTime, &localTime)) {
        return LocalTime{utc.time_since_epoch()};
    }
    const seconds offset = FromSystemTime(localTime) - secs.time_since_epoch();
    return LocalTime{utc.time_since_epoch() + offset};
}

}  // namespace kdv
