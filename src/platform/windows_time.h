#pragma once
// SYSTEMTIME, the calendar form of the Windows time calls, and back; only
// the Windows twins of this folder include it.
#include <windows.h>

#include <chrono>

namespace kdv {

// A day and a time of day as SYSTEMTIME; false outside the years it holds.
inline bool ToSystemTime(std::chrono::sys_days day, std::chrono::seconds timeOfDay, SYSTEMTIME& out) {
    using namespace std::chrono;
    const year_month_day ymd{day};
    const int y = static_cast<int>(ymd.year());
    if (y < 1601 || y > 30827) return false;
    const hh_mm_ss<seconds> time{timeOfDay};
    out = SYSTEMTIME{};
    out.wYear = static_cast<WORD>(y);
    out.wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
    out.wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
    out.wDayOfWeek = static_cast<WORD>(weekday{day}.c_encoding());
    out.wHour = static_cast<WORD>(time.hours().count());
    out.wMinute = static_cast<WORD>(time.minutes().count());
    out.wSecond = static_cast<WORD>(time.seconds().count());
    return true;
}

// Seconds since 1970-01-01 of a SYSTEMTIME's calendar date and time.
inline std::chrono::seconds FromSystemTime(const SYSTEMTIME& time) {
    using namespace std::chrono;
    const sys_days day{year{time.wYear} / month{time.wMonth} / std::chrono::day{time.wDay}};
    return duration_cast<seconds>(day.time_since_epoch()) + hours{time.wHour} + minutes{time.wMinute} +
           seconds{time.wSecond};
}

// Local time of a UTC time and back in the machine's time zone. The dynamic
// zone knows the daylight saving rules of past years too; where the system
// lacks those calls (older Windows, Wine) the zone's current rules apply.
// False when the system cannot convert.
inline bool UtcToLocalSystemTime(const SYSTEMTIME& utc, SYSTEMTIME& local) {
    using TEx = BOOL(WINAPI*)(const DYNAMIC_TIME_ZONE_INFORMATION*, const SYSTEMTIME*, SYSTEMTIME*);
    static const TEx ex = reinterpret_cast<TEx>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SystemTimeToTzSpecificLocalTimeEx")));
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    if (ex != nullptr && ::GetDynamicTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID) {
        return ex(&zone, &utc, &local) != 0;
    }
    return ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) != 0;
}

inline bool LocalToUtcSystemTime(const SYSTEMTIME& local, SYSTEMTIME& utc) {
    using TEx = BOOL(WINAPI*)(const DYNAMIC_TIME_ZONE_INFORMATION*, const SYSTEMTIME*, SYSTEMTIME*);
    static const TEx ex = reinterpret_cast<TEx>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "TzSpecificLocalTimeToSystemTimeEx")));
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    if (ex != nullptr && ::GetDynamicTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID) {
        return ex(&zone, &local, &utc) != 0;
    }
    return ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) != 0;
}

}  // namespace kdv
