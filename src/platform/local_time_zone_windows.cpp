#include "platform/local_time_zone.h"

#include <windows.h>

#include "platform/windows_time.h"

namespace kdv {

LocalTime UtcToLocalTime(std::chrono::sys_time<std::chrono::milliseconds> utc) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(utc);
    SYSTEMTIME utcTime{};
    SYSTEMTIME localTime{};
    if (!ToSystemTime(sys_days{floor<days>(secs)}, secs - floor<days>(secs), utcTime) ||
        !UtcToLocalSystemTime(utcTime, localTime)) {
        return LocalTime{utc.time_since_epoch()};
    }
    const seconds offset = FromSystemTime(localTime) - secs.time_since_epoch();
    return LocalTime{utc.time_since_epoch() + offset};
}

}  // namespace kdv
