#pragma once
// Where a rotated log file goes: the log's name without extension, "_", the
// date as yyyy_mm_dd and an ending, in the old-files folder or beside the log.
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/clock.h"

namespace kdv {

// The date stamp "yyyy_mm_dd" of a local moment.
std::string RotationDateStamp(LocalTime when);

// Target of the daily rotation at `now`: named after the day before
// (now minus 24 hours), ending ".log". An empty `oldFolder` means beside the log.
std::filesystem::path DailyRotationTarget(const std::filesystem::path& logFile,
                                          const std::filesystem::path& oldFolder, LocalTime now);

// Candidate `n` of the rotation at open, dated `now`: n = 0 ends ".lastlog",
// n >= 1 ends "_#" + n with at least three digits + ".lastlog".
std::filesystem::path StartupRotationCandidate(const std::filesystem::path& logFile,
                                               const std::filesystem::path& oldFolder,
                                               LocalTime now, unsigned n);

}  // namespace kdv
