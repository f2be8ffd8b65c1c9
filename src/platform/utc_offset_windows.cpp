#include "platform/utc_offset.h"

#include <windows.h>

#include "platform/windows_time.h"

namespace kdv {

std::chrono::minutes UtcOffsetAt(LocalTime local) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(local);
    const auto day = floor<days>(secs);
    SYSTEMTIME localTime{};
    SYSTEMTIME utcTime{};
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    if (!ToSystemTime(sys_days{day.time_since_epoch()}, secs - day, localTime) ||
        ::GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
        !::TzSpecificLocalTimeToSystemTimeEx(&zone, &localTime, &utcTime)) {
        return minutes{0};
    }
    return duration_cast<minutes>(secs.time_since_epoch() - FromSystemTime(utcTime));
}

}  // namespace kdv
