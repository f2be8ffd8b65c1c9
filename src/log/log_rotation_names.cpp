#include "log/log_rotation_names.h"

#include <cstdio>

namespace kdv {
namespace {

// The log's name with its extension replaced by `suffix`, in `oldFolder` when
// that is set, else beside the log.
std::filesystem::path RotatedPath(const std::filesystem::path& logFile,
                                  const std::filesystem::path& oldFolder,
                                  const std::string& suffix) {
    std::filesystem::path name = logFile.stem();
    name += suffix;
    return oldFolder.empty() ? logFile.parent_path() / name : oldFolder / name;
}

}  // namespace

std::string RotationDateStamp(LocalTime when) {
    using namespace std::chrono;
    const year_month_day date{floor<days>(when)};
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d_%02u_%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return stamp;
}

std::filesystem::path DailyRotationTarget(const std::filesystem::path& logFile,
                                          const std::filesystem::path& oldFolder, LocalTime now) {
    return RotatedPath(logFile, oldFolder,
                       "_" + RotationDateStamp(now - std::chrono::hours{24}) + ".log");
}

std::filesystem::path StartupRotationCandidate(const std::filesystem::path& logFile,
                                               const std::filesystem::path& oldFolder,
                                               LocalTime now, unsigned n) {
    std::string suffix = "_" + RotationDateStamp(now);
    if (n > 0) {
        char counter[16];
        std::snprintf(counter, sizeof counter, "_#%03u", n);
        suffix += counter;
    }
    suffix += ".lastlog";
    return RotatedPath(logFile, oldFolder, suffix);
}

}  // namespace kdv
