#pragma once
// Letter classification and case folding for any Unicode code point; SQL
// identifiers may hold umlauts and other non-ASCII letters.
namespace kdv {

bool IsUnicodeLetter(char32_t CodePoint);

// The lower-case form of a letter; every other code point is returned as is.
char32_t UnicodeToLower(char32_t CodePoint);

}  // namespace kdv
