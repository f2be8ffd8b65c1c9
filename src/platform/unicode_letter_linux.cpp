#include "platform/unicode_letter.h"

#include <locale.h>
#include <wctype.h>

namespace kdv {
namespace {

// The classification must not follow the process's locale, which an
// operator or a library may change; a private UTF-8 locale object is used.
locale_t Utf8Locale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l != static_cast<locale_t>(nullptr) ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

}  // namespace

bool IsUnicodeLetter(char32_t CodePoint) {
    if (CodePoint < 0x80) {
        return (CodePoint >= 'a' && CodePoint <= 'z') || (CodePoint >= 'A' && CodePoint <= 'Z');
    }
    return iswalpha_l(static_cast<wint_t>(CodePoint), Utf8Locale()) != 0;
}

char32_t UnicodeToLower(char32_t CodePoint) {
    if (CodePoint < 0x80) {
        return (CodePoint >= 'A' && CodePoint <= 'Z') ? CodePoint + ('a' - 'A') : CodePoint;
    }
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(CodePoint), Utf8Locale()));
}

}  // namespace kdv
