#pragma once
// Small ASCII text helpers shared by the message model's files.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/ascii_text.h"

namespace kdv::mailtext {

inline bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Blanks and tabs removed on both sides / on the left / on the right.
inline std::string_view TrimBlanks(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlankOrTab(s[b])) ++b;
    while (e > b && IsBlankOrTab(s[e - 1])) --e;
    return s.substr(b, e - b);
}
inline std::string_view TrimLeftBlanks(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && IsBlankOrTab(s[b])) ++b;
    return s.substr(b);
}
inline std::string_view TrimRightBlanks(std::string_view s) {
    std::size_t e = s.size();
    while (e > 0 && IsBlankOrTab(s[e - 1])) --e;
    return s.substr(0, e);
}

// Every control character and blank (code 0 to 32) removed on both sides.
inline std::string_view TrimControls(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return s.substr(b, e - b);
}

// Case folding has its home in platform/ascii_text.h; these two names stay
// for callers that still spell them with this namespace.
using kdv::EqualsNoCase;
using kdv::ToLowerAscii;

}  // namespace kdv::mailtext
