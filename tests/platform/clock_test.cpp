#include "platform/clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/local_calendar.h"

namespace kdv {

TEST(SystemClock, AgreesWithTheLocalCalendar) {
    using namespace std::chrono;
    const LocalTime now = SystemClock().Now();
    const std::time_t t = std::time(nullptr);
    const std::tm tm = testing::LocalCalendarAt(t);
    const year_month_day ymd{floor<days>(now)};
    // The test may straddle midnight; one day apart is still agreement.
    const auto expected = year{tm.tm_year + 1900} / month(tm.tm_mon + 1) / day(tm.tm_mday);
    EXPECT_LE(abs((sys_days{ymd} - sys_days{expected}).count()), 1);
}

}  // namespace kdv
