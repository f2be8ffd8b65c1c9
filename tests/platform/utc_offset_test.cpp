#include "platform/utc_offset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kdv {
namespace {

using namespace std::chrono;

// Runs a test under a time zone given as a POSIX rule (no zone database
// needed) and puts the machine's own zone back afterwards.
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

struct TOffsetCase {
    const char* name;
    const char* zone;
    LocalTime local;
    minutes expected;
};

void PrintTo(const TOffsetCase& c, std::ostream* os) { *os << c.name; }

class UtcOffset : public ::testing::TestWithParam<TOffsetCase> {};

TEST_P(UtcOffset, FollowsZoneAndDaylightSaving) {
    TZoneScope zone(GetParam().zone);
    EXPECT_EQ(UtcOffsetAt(GetParam().local), GetParam().expected);
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

}  // namespace
}  // namespace kdv
