// Folding and digits by ASCII alone: the same on every machine and locale,
// and never a change to the bytes of UTF-8 text.
#include "platform/ascii_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace kdv {
namespace {

TEST(AsciiText, FoldsOnlyAsciiLettersWhateverTheLocale) {
    // "Ärger" in UTF-8 and in Latin-1: a locale-aware fold would change
    // the Latin-1 byte 0xC4 under a Latin-1 locale.
    const std::string utf8 = "\xC3\x84rger-Z@A.de";
    const std::string latin1 = "\xC4rger";
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    for (const char* locale : {"C", "de_DE.ISO-8859-1", "de_DE.UTF-8"}) {
        SCOPED_TRACE(locale);
        std::setlocale(LC_CTYPE, locale);  // a missing locale leaves the last one; the checks hold for any
        EXPECT_EQ(ToLowerAscii(utf8), "\xC3\x84rger-z@a.de");
        EXPECT_EQ(ToUpperAscii(utf8), "\xC3\x84RGER-Z@A.DE");
        EXPECT_EQ(ToLowerAscii(latin1), "\xC4rger");
        EXPECT_EQ(ToUpperAscii(latin1), "\xC4RGER");
        EXPECT_FALSE(EqualsNoCase("\xC4", "\xE4"));
    }
    std::setlocale(LC_CTYPE, saved.c_str());
    // The bytes next to the letters stay: '@' (before 'A'), '[' (after 'Z'),
    // '`' (before 'a'), '{' (after 'z').
    EXPECT_EQ(ToLowerAscii("@AZ[`az{"), "@az[`az{");
    EXPECT_EQ(ToUpperAscii("@AZ[`az{"), "@AZ[`AZ{");
}

TEST(AsciiText, ComparesWithoutCase) {
    struct TCase {
        const char* a;
        const char* b;
        bool equal;
        bool starts;  // a starts with b
    };
    const TCase cases[] = {
        {"Content-Type", "content-type", true, true},
        {"+ok", "+OK", true, true},
        {"STLS", "stls ", false, false},
        {"text/plain", "TEXT/", false, true},
        {"te", "text/", false, false},
        {"", "", true, true},
        {"[", "{", false, false},  // 0x5B and 0x7B differ by the case bit, yet are no letters
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal);
        EXPECT_EQ(EqualsNoCase(c.b, c.a), c.equal);
        EXPECT_EQ(StartsWithNoCase(c.a, c.b), c.starts);
    }
}

TEST(AsciiText, HexDigitValues) {
    const std::string digits = "0123456789abcdef";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), static_cast<int>(i)) << digits[i];
        EXPECT_EQ(HexDigitValue(UpperAscii(digits[i])), static_cast<int>(i)) << digits[i];
    }
    for (const char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\xC3'}) {
        EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
    }
}

TEST(AsciiText, DecimalIds) {
    struct TCase {
        const char* text;
        bool id;
    };
    const TCase cases[] = {
        {"0", true}, {"17", true}, {"0042", true}, {"", false}, {"-1", false}, {"+1", false},
        {"1 ", false}, {" 1", false}, {"1;DROP", false}, {"1e3", false}, {"\xD9\xA3", false},  // Arabic-Indic three
    };
    for (const TCase& c : cases) EXPECT_EQ(IsDecimalId(c.text), c.id) << c.text;
}

}  // namespace
}  // namespace kdv
