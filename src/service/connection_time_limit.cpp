#include "service/connection_time_limit.h"

namespace kdv {

std::chrono::seconds ReadZeitlimit(const TIniFile& Ini) {
    const int seconds = Ini.ReadInteger("Verbindung", "Zeitlimit", static_cast<int>(kDefaultZeitlimit.count()));
    if (seconds <= 0) return kDefaultZeitlimit;
    if (seconds > kMaxZeitlimit.count()) return kMaxZeitlimit;
    return std::chrono::seconds{seconds};
}

}  // namespace kdv
