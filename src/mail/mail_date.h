#pragma once
// The date of a received mail header ("Tue, 1 Jul 2003 10:52:37 +0200").
#include <chrono>
#include <optional>
#include <string_view>

namespace kdv {

// The moment a "Date" header names, in UTC. Accepts the RFC 5322 form and its
// common variants: a missing weekday or seconds, two-digit years, comments,
// named zones (UT, GMT, the US zones, military letters count as +0000) and a
// missing zone (read as UTC). nullopt for text that names no valid date.
std::optional<std::chrono::sys_time<std::chrono::milliseconds>> ParseMailDate(std::string_view text);

}  // namespace kdv
