#include "platform/unicode_letter.h"

#include <windows.h>

namespace kdv {
namespace {

// The code point as UTF-16; returns the number of units (1 or 2).
int ToUtf16(char32_t c, wchar_t (&units)[2]) {
    if (c < 0x10000) {
        units[0] = static_cast<wchar_t>(c);
        return 1;
    }
    const char32_t v = c - 0x10000;
    units[0] = static_cast<wchar_t>(0xD800 + (v >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
    return 2;
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

// The system's character tables, independent of the user's language:
// classification by GetStringTypeW, case mapping with the invariant locale.
bool IsUnicodeLetter(char32_t CodePoint) {
    if (CodePoint < 0x80) {
        return (CodePoint >= 'a' && CodePoint <= 'z') || (CodePoint >= 'A' && CodePoint <= 'Z');
    }
    if (CodePoint > 0x10FFFF || IsSurrogate(CodePoint)) return false;
    wchar_t units[2] = {};
    const int count = ToUtf16(CodePoint, units);
    WORD types[2] = {};
    if (!::GetStringTypeW(CT_CTYPE1, units, count, types)) return false;
    // A pair is classified unit by unit; the high surrogate carries no class.
    return (types[count - 1] & C1_ALPHA) != 0 || (types[0] & C1_ALPHA) != 0;
}

char32_t UnicodeToLower(char32_t CodePoint) {
    if (CodePoint < 0x80) {
        return (CodePoint >= 'A' && CodePoint <= 'Z') ? CodePoint + ('a' - 'A') : CodePoint;
    }
    if (CodePoint > 0x10FFFF || IsSurrogate(CodePoint)) return CodePoint;
    wchar_t units[2] = {};
    const int count = ToUtf16(CodePoint, units);
    wchar_t lower[4] = {};
    const int got = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, units, count, lower, 4, nullptr,
                                    nullptr, 0);
    if (got == 1 && !IsSurrogate(lower[0])) return lower[0];
    if (got == 2 && lower[0] >= 0xD800 && lower[0] <= 0xDBFF && lower[1] >= 0xDC00 && lower[1] <= 0xDFFF) {
        return 0x10000 + ((static_cast<char32_t>(lower[0]) - 0xD800) << 10) + (static_cast<char32_t>(lower[1]) - 0xDC00);
    }
    return CodePoint;
}

}  // namespace kdv
