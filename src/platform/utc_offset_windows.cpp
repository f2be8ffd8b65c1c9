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
    if (!ToSystemTime(sys_days{day.time_since_epoch()}, secs - day, localTime) ||
        !LocalToUtcSystemTime(localTime, utcTime)) {
        return minutes{0};
    }
    return duration_cast<minutes>(secs.time_since_epoch() - FromSystemTime(utcTime));
}

}  // namespace kdv
