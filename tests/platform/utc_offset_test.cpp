#include "platform/utc_offset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "support/local_calendar.h"

namespace kdv {
namespace {

using namespace std::chrono;

#ifndef _WIN32
// Runs a test under a time zone given as a POSIX rule (no zone database
// needed) and puts the machine's own zone back afterwards. Windows takes
// the zone from the system's settings only, which a test must not change.
class TZoneScope {
public:
    explicit TZoneScope(const char* rule) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", rule, 1);
        tzset();
    }
    ~TZoneScope() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> old_;
};
#endif

struct TOffsetCase {
    const char* name;
    const char* zone;
    LocalTime local;
    minutes expected;
};

void PrintTo(const TOffsetCase& c, std::ostream* os) { *os << c.name; }

class UtcOffset : public ::testing::TestWithParam<TOffsetCase> {};

TEST_P(UtcOffset, FollowsZoneAndDaylightSaving) {
#ifdef _WIN32
    GTEST_SKIP() << "a Windows process cannot choose its own time zone";
#else
    TZoneScope zone(GetParam().zone);
    EXPECT_EQ(UtcOffsetAt(GetParam().local), GetParam().expected);
#endif
}

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewfoundland = "NST3:30NDT,M3.2.0,M11.1.0";

INSTANTIATE_TEST_SUITE_P(
    Zones, UtcOffset,
    ::testing::Values(
        TOffsetCase{"CentralEuropeWinter", kCentralEurope, LocalTime{local_days{year{2026} / December / 10} + 14h}, 60min},
        TOffsetCase{"CentralEuropeSummer", kCentralEurope, LocalTime{local_days{year{2026} / July / 1} + 9h}, 120min},
        TOffsetCase{"NewfoundlandWinterHalfHour", kNewfoundland, LocalTime{local_days{year{2026} / January / 5} + 8h},
                    -(3h + 30min)},
        TOffsetCase{"Utc", "UTC0", LocalTime{local_days{year{2026} / July / 1}}, 0min}),
    [](const auto& info) { return std::string(info.param.name); });

// In the machine's own zone, whatever it is, the offset agrees with the C
// library's calendar through a whole year, both sides of any clock change.
TEST(UtcOffsetOfThisMachine, AgreesWithTheLocalCalendarAllYear) {
    const sys_seconds start = floor<seconds>(system_clock::now());
    for (int week = 0; week < 53; ++week) {
        const sys_seconds utc = start + weeks{week};
        const std::tm tm = testing::LocalCalendarAt(system_clock::to_time_t(utc));
        const local_seconds local = local_days{year{tm.tm_year + 1900} / (tm.tm_mon + 1) / tm.tm_mday} +
                                    hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec};
        const minutes expected = duration_cast<minutes>(local.time_since_epoch() - utc.time_since_epoch());
        EXPECT_EQ(UtcOffsetAt(LocalTime{local}), expected) << "week " << week;
    }
}

}  // namespace
}  // namespace kdv
