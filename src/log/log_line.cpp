#include "log/log_line.h"

#include <array>
#include <chrono>

namespace kdv {
namespace {

constexpr std::array<std::string_view, 10> kLevelNames = {
    "EMERGENCY", "ALERT", "CRITICAL", "FEHLER", "Warnung",
    "Hinweis",   "Info",  "Debug",    "Debug 1", "Debug 2"};

constexpr std::array<std::string_view, 32> kControlNames = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "<BEL>",
    "<BS>",  "<HT>",  "<LF>",  "<VT>",  "<FF>",  "<CR>",  "<SO>",  "<SI>",
    "<DLE>", "<DC1>", "<DC2>", "<DC3>", "<DC4>", "<NAK>", "<SYN>", "<ETB>",
    "<CAN>", "<EM>",  "<SUB>", "<ESC>", "<FS>",  "<GS>",  "<RS>",  "<US>"};

// Two digits of a non-negative number below 100.
void AppendTwoDigits(std::string& out, long value) {
    out.push_back(static_cast<char>('0' + value / 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string_view LogLevelName(int level) {
    if (level < 0 || level >= static_cast<int>(kLevelNames.size())) return "?";
    return kLevelNames[static_cast<std::size_t>(level)];
}

std::string MaskControlChars(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < kControlNames.size()) {
            out += kControlNames[code];
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string FormatLogLine(LocalTime when, int level, std::string_view text) {
    using namespace std::chrono;
    const auto day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{when - day};
    const long year = ((static_cast<int>(date.year()) % 100) + 100) % 100;

    std::string line;
    line.reserve(32 + text.size());
    AppendTwoDigits(line, static_cast<unsigned>(date.day()));
    line += '.';
    AppendTwoDigits(line, static_cast<unsigned>(date.month()));
    line += '.';
    AppendTwoDigits(line, year);
    line += " | ";
    AppendTwoDigits(line, time.hours().count());
    line += ':';
    AppendTwoDigits(line, time.minutes().count());
    line += ':';
    AppendTwoDigits(line, time.seconds().count());
    line += " | ";
    const std::string_view name = LogLevelName(level);
    line += name;
    if (name.size() < kLogLevelNameWidth) line.append(kLogLevelNameWidth - name.size(), ' ');
    line += " | ";
    line += MaskControlChars(text);
    line += "\r\n";
    return line;
}

}  // namespace kdv
