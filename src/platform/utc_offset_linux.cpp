#include "platform/utc_offset.h"

#include <ctime>

namespace kdv {

std::chrono::minutes UtcOffsetAt(LocalTime local) {
    using namespace std::chrono;
    const auto day = floor<days>(local);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> time{local - day};
    std::tm tm{};
    tm.tm_year = static_cast<int>(ymd.year()) - 1900;
    tm.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    tm.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    tm.tm_hour = static_cast<int>(time.hours().count());
    tm.tm_min = static_cast<int>(time.minutes().count());
    tm.tm_sec = static_cast<int>(time.seconds().count());
    tm.tm_isdst = -1;
    if (mktime(&tm) == static_cast<std::time_t>(-1)) return minutes{0};
    return duration_cast<minutes>(seconds{tm.tm_gmtoff});
}

}  // namespace kdv
