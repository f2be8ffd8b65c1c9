#include "support/local_calendar.h"

namespace kdv::testing {

std::tm LocalCalendarAt(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    return tm;
}

}  // namespace kdv::testing
