#include "mail/mail_date.h"
#include "platform/ascii_text.h"

#include <array>
#include <cctype>
#include <string>
#include <vector>

namespace kdv {
namespace {

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int ToInt(std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

// Tokens split at blanks, commas and around comments; comments are dropped.
std::vector<std::string_view> Tokens(std::string_view text) {
    std::vector<std::string_view> out;
    int depth = 0;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        const bool sep = c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n' || c == '(' || c == ')';
        if (sep || depth > 0) {
            if (start != std::string_view::npos && depth == 0) out.push_back(text.substr(start, i - start));
            start = std::string_view::npos;
            if (c == '(') ++depth;
            if (c == ')' && depth > 0) --depth;
            continue;
        }
        if (start == std::string_view::npos) start = i;
    }
    return out;
}

int MonthOf(std::string_view token) {
    static constexpr std::array<const char*, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                            "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) return 0;
    const std::string t = ToLowerAscii(token.substr(0, 3));
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (t == kMonths[i]) return static_cast<int>(i) + 1;
    return 0;
}

// Offset east of UTC in minutes; nullopt when the token is no zone.
std::optional<int> ZoneOffset(std::string_view token) {
    if ((token[0] == '+' || token[0] == '-') && token.size() == 5 && AllDigits(token.substr(1))) {
        const int hh = ToInt(token.substr(1, 2)), mm = ToInt(token.substr(3, 2));
        if (hh > 23 || mm > 59) return std::nullopt;
        const int minutes = hh * 60 + mm;
        return token[0] == '-' ? -minutes : minutes;
    }
    const std::string z = ToLowerAscii(token);
    struct TZone { const char* name; int hours; };
    static constexpr TZone kZones[] = {{"ut", 0},   {"utc", 0},  {"gmt", 0},  {"z", 0},    {"est", -5},
                                       {"edt", -4}, {"cst", -6}, {"cdt", -5}, {"mst", -7}, {"mdt", -6},
                                       {"pst", -8}, {"pdt", -7}, {"cet", 1},  {"cest", 2}, {"met", 1},
                                       {"mest", 2}};
    for (const TZone& zone : kZones)
        if (z == zone.name) return zone.hours * 60;
    if (z.size() == 1 && std::isalpha(static_cast<unsigned char>(z[0]))) return 0;
    return std::nullopt;
}

}  // namespace

std::optional<std::chrono::sys_time<std::chrono::milliseconds>> ParseMailDate(std::string_view text) {
    using namespace std::chrono;
    const std::vector<std::string_view> tokens = Tokens(text);
    std::size_t i = 0;
    // A weekday name (or any word) before the day is skipped.
    if (i < tokens.size() && !AllDigits(tokens[i])) ++i;
    if (i + 3 > tokens.size()) return std::nullopt;

    std::string_view day_token = tokens[i], month_token = tokens[i + 1];
    // "Jul 1 2003" is seen too.
    if (!AllDigits(day_token) && AllDigits(month_token)) std::swap(day_token, month_token);
    if (!AllDigits(day_token) || day_token.size() > 2) return std::nullopt;
    const int d = ToInt(day_token);
    const int mon = MonthOf(month_token);
    std::string_view year_token = tokens[i + 2];
    if (mon == 0 || !AllDigits(year_token) || year_token.size() > 4) return std::nullopt;
    int y = ToInt(year_token);
    if (year_token.size() <= 2) y += y < 50 ? 2000 : 1900;
    else if (year_token.size() == 3) y += 1900;
    i += 3;

    int hh = 0, mm = 0, ss = 0;
    if (i < tokens.size()) {
        const std::string_view t = tokens[i];
        std::vector<std::string_view> fields;
        std::size_t start = 0;
        for (std::size_t k = 0; k <= t.size(); ++k) {
            if (k == t.size() || t[k] == ':') {
                fields.push_back(t.substr(start, k - start));
                start = k + 1;
            }
        }
        if (fields.size() == 2 || fields.size() == 3) {
            for (auto f : fields)
                if (!AllDigits(f) || f.size() > 2) return std::nullopt;
            hh = ToInt(fields[0]);
            mm = ToInt(fields[1]);
            ss = fields.size() == 3 ? ToInt(fields[2]) : 0;
            if (hh > 23 || mm > 59 || ss > 60) return std::nullopt;
            ++i;
        }
    }
    int offset = 0;
    if (i < tokens.size()) {
        if (const auto z = ZoneOffset(tokens[i])) offset = *z;
    }

    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mon)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    const sys_time<milliseconds> local_as_utc =
        sys_days{ymd} + hours{hh} + minutes{mm} + seconds{ss > 59 ? 59 : ss};
    return local_as_utc - minutes{offset};
}

}  // namespace kdv
