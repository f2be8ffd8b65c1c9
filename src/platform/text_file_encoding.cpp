#include "platform/text_file_encoding.h"

#include <array>
#include <cstdint>

#include "platform/unicode_chars.h"

namespace kdv {

namespace {

// Length of the valid UTF-8 sequence at the start of s, or 0 when there is
// none (overlong forms, surrogates and values above U+10FFFF are invalid).
std::size_t ValidUtf8Length(std::string_view s, char32_t& c) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    if (s.empty()) return 0;
    const unsigned char b0 = b(0);
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (!cont(1)) return 0;
        c = (char32_t(b0 & 0x1F) << 6) | (b(1) & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        c = (char32_t(b0 & 0x0F) << 12) | (char32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return 0;
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        c = (char32_t(b0 & 0x07) << 18) | (char32_t(b(1) & 0x3F) << 12) |
            (char32_t(b(2) & 0x3F) << 6) | (b(3) & 0x3F);
        if (c < 0x10000 || c > 0x10FFFF) return 0;
        return 4;
    }
    return 0;
}

void AppendUtf16(std::string& out, char16_t unit, bool bigEndian) {
    const char hi = static_cast<char>(unit >> 8);
    const char lo = static_cast<char>(unit & 0xFF);
    if (bigEndian) {
        out += hi;
        out += lo;
    } else {
        out += lo;
        out += hi;
    }
}

}  // namespace

ETextFileEncoding DetectTextFileEncoding(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) return ETextFileEncoding::Utf8Bom;
    if (bytes.starts_with("\xFF\xFE")) return ETextFileEncoding::Utf16LE;
    if (bytes.starts_with("\xFE\xFF")) return ETextFileEncoding::Utf16BE;
    return ETextFileEncoding::Utf8;
}

std::size_t ByteOrderMarkLength(ETextFileEncoding encoding) {
    switch (encoding) {
        case ETextFileEncoding::Utf8: return 0;
        case ETextFileEncoding::Utf8Bom: return 3;
        case ETextFileEncoding::Utf16LE:
        case ETextFileEncoding::Utf16BE: return 2;
    }
    return 0;
}

std::string TextFileToUtf8(std::string_view bytes) {
    const ETextFileEncoding encoding = DetectTextFileEncoding(bytes);
    const std::string_view body = bytes.substr(ByteOrderMarkLength(encoding));
    switch (encoding) {
        case ETextFileEncoding::Utf16LE: return Utf16ToUtf8(body, false);
        case ETextFileEncoding::Utf16BE: return Utf16ToUtf8(body, true);
        case ETextFileEncoding::Utf8:
        case ETextFileEncoding::Utf8Bom: break;
    }
    return Utf8OrWindows1252ToUtf8(body);
}

std::string TextFileFromUtf8(std::string_view utf8, ETextFileEncoding encoding) {
    switch (encoding) {
        case ETextFileEncoding::Utf8: return std::string(utf8);
        case ETextFileEncoding::Utf8Bom: return "\xEF\xBB\xBF" + std::string(utf8);
        case ETextFileEncoding::Utf16LE: return "\xFF\xFE" + Utf8ToUtf16(utf8, false);
        case ETextFileEncoding::Utf16BE: return "\xFE\xFF" + Utf8ToUtf16(utf8, true);
    }
    return std::string(utf8);
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    const auto unit = [&](std::size_t i) -> char16_t {
        const auto first = static_cast<unsigned char>(bytes[2 * i]);
        const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
        return bigEndian ? char16_t((first << 8) | second) : char16_t((second << 8) | first);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char16_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((char32_t(u - 0xD800) << 10) | char32_t(low - 0xDC00)));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacementChar : char32_t(u));
    }
    if (bytes.size() % 2 != 0) AppendUtf8(out, kReplacementChar);
    return out;
}

std::string Utf8ToUtf16(std::string_view utf8, bool bigEndian) {
    std::string out;
    out.reserve(utf8.size() * 2);
    while (!utf8.empty()) {
        char32_t c = 0;
        std::size_t len = ValidUtf8Length(utf8, c);
        if (len == 0) {
            c = kReplacementChar;
            len = 1;
        }
        if (c >= 0x10000) {
            const char32_t v = c - 0x10000;
            AppendUtf16(out, char16_t(0xD800 + (v >> 10)), bigEndian);
            AppendUtf16(out, char16_t(0xDC00 + (v & 0x3FF)), bigEndian);
        } else {
            AppendUtf16(out, char16_t(c), bigEndian);
        }
        utf8.remove_prefix(len);
    }
    return out;
}

std::string Utf8OrWindows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        char32_t c = 0;
        const std::size_t len = ValidUtf8Length(bytes, c);
        if (len > 0) {
            out.append(bytes.substr(0, len));
            bytes.remove_prefix(len);
            continue;
        }
        const auto b = static_cast<unsigned char>(bytes.front());
        AppendUtf8(out, (b >= 0x80 && b <= 0x9F) ? char32_t(kWindows1252High[b - 0x80]) : char32_t(b));
        bytes.remove_prefix(1);
    }
    return out;
}

std::size_t DecodeUtf8Char(std::string_view utf8, char32_t& c) {
    if (utf8.empty()) return 0;
    const std::size_t len = ValidUtf8Length(utf8, c);
    if (len > 0) return len;
    c = static_cast<unsigned char>(utf8.front());
    return 1;
}

std::size_t Utf8CharCount(std::string_view utf8) {
    std::size_t count = 0;
    while (!utf8.empty()) {
        char32_t c = 0;
        const std::size_t len = ValidUtf8Length(utf8, c);
        utf8.remove_prefix(len == 0 ? 1 : len);
        ++count;
    }
    return count;
}

std::string_view Utf8Prefix(std::string_view utf8, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < count && pos < utf8.size(); ++n) {
        char32_t c = 0;
        const std::size_t len = ValidUtf8Length(utf8.substr(pos), c);
        pos += (len == 0 ? 1 : len);
    }
    return utf8.substr(0, pos);
}

}  // namespace kdv
