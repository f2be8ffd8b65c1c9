#include "incoming/debug_stamp.h"

#include <chrono>
#include <cstdio>
#include <exception>

namespace kdv {

std::string DebugZeitstempel(const TMailEmpfangContext& ctx) {
    const LocalTime now = ctx.Clock.Now();
    const auto day = std::chrono::floor<std::chrono::days>(now);
    const std::chrono::year_month_day ymd{day};
    const std::chrono::hh_mm_ss<std::chrono::seconds> time{std::chrono::floor<std::chrono::seconds>(now - day)};
    char text[32];
    std::snprintf(text, sizeof text, "%02u.%02u.%04d %02d:%02d:%02d", static_cast<unsigned>(ymd.day()),
                  static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

void WriteDebugStamp(TMailEmpfangContext& ctx, const char* key) {
    try {
        ctx.Ini.WriteString("Debug", key, DebugZeitstempel(ctx));
    } catch (const std::exception& e) {
        LogQuietly(ctx, 3, std::string("[Debug] ") + key + " kann nicht geschrieben werden: " + e.what());
    }
}

}  // namespace kdv
