#pragma once
// ASCII-only text helpers. Protocol words, header names, charset names,
// stored paths and IDs compare and fold the same on every machine: only
// A-Z and a-z change case, whatever the process's locale, and bytes of
// UTF-8 sequences pass untouched.
#include <cstddef>
#include <string>
#include <string_view>

namespace kdv {

inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string ToLowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

inline std::string ToUpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperAscii(c);
    return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// The value of a hexadecimal digit (either case); -1 for any other byte.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One or more ASCII digits and nothing else: the form of the IDs that are
// spliced into statement texts, so anything else must not reach the server.
inline bool IsDecimalId(std::string_view id) {
    if (id.empty()) return false;
    for (const char c : id) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace kdv
