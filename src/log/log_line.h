#pragma once
// The text of one log line: level names, control-character masking and the
// fixed "DD.MM.YY | HH:MM:SS | level     | text" layout.
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kdv {

// The width the level name is padded to with blanks; longer names stay whole.
inline constexpr std::size_t kLogLevelNameWidth = 9;

// "EMERGENCY" for 0 up to "Debug 2" for 9; "?" for every other level.
std::string_view LogLevelName(int level);

// Replaces every byte 0 to 31 with its ASCII name in angle brackets ("<CR>",
// "<LF>", ...), so a text always stays on one physical line. Every other byte,
// 127 and UTF-8 sequences included, is kept as it is.
std::string MaskControlChars(std::string_view text);

// One complete line, ending in CR LF, for a level and a text taken at `when`.
std::string FormatLogLine(LocalTime when, int level, std::string_view text);

}  // namespace kdv
