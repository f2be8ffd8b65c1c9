#pragma once
// Reading UTF-8 text one character at a time, with one rule of what is
// well-formed (RFC 3629): no overlong forms, no surrogates, nothing past
// U+10FFFF. Every part of the program that looks at UTF-8 uses this rule.
#include <cstddef>
#include <string_view>

namespace kdv {

// One character read from the front of a text.
struct TUtf8Char {
    char32_t Code;       // the code point; for a broken sequence the value of its first byte
    std::size_t Length;  // bytes taken, at least 1
    bool Valid;          // whether the bytes are a well-formed sequence
};

// The character at the front of text (empty text: Length 0). A broken
// sequence takes its longest prefix that could still have begun a
// well-formed one, so a sequence cut short costs one replacement, not one
// per byte.
TUtf8Char DecodeUtf8Char(std::string_view text);

bool IsValidUtf8(std::string_view text);

// Characters in text; each byte of a broken sequence counts as one, so a
// limit on characters holds whatever later replaces those bytes.
std::size_t Utf8CharCount(std::string_view text);

// The front of text with at most `chars` characters (counted as above).
std::string_view Utf8PrefixByChars(std::string_view text, std::size_t chars);

// The longest front of text of at most `bytes` bytes that does not end in
// the middle of a well-formed sequence.
std::string_view Utf8PrefixByBytes(std::string_view text, std::size_t bytes);

// Bytes at the end of text that begin a well-formed sequence the next piece
// of a stream may complete (0 to 3).
std::size_t Utf8UnfinishedTail(std::string_view text);

}  // namespace kdv
