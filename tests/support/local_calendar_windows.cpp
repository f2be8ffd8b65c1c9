#include "support/local_calendar.h"

namespace kdv::testing {

std::tm LocalCalendarAt(std::time_t t) {
    std::tm tm{};
    ::localtime_s(&tm, &t);
    return tm;
}

}  // namespace kdv::testing
