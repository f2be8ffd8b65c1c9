#include "platform/text_file_encoding.h"

#include <array>
#include <cstdint>
#include <memory>

#include "platform/ansi_code_page.h"
#include "platform/code_page_converter.h"
#include "platform/unicode_chars.h"
#include "platform/utf8_text.h"

namespace kdv {

namespace {

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

// The conversion of the system's ANSI code page; null where that is UTF-8
// or the system has none for it.
const TCodePageConverter* AnsiConverter() {
    static const std::unique_ptr<TCodePageConverter> converter =
        SystemAnsiCodePage() == kUtf8CodePage ? nullptr : OpenCodePageConverter(SystemAnsiCodePage());
    return converter.get();
}

bool IsAscii(std::string_view bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
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
        case ETextFileEncoding::Utf8: return UnmarkedTextToUtf8(body, UnmarkedTextIsAnsi(body));
        case ETextFileEncoding::Utf8Bom: break;
    }
    return Utf8OrWindows1252ToUtf8(body);
}

bool UnmarkedTextIsAnsi(std::string_view bytes) {
    if (AnsiConverter() == nullptr) return false;
    return IsAscii(bytes) || !IsValidUtf8(bytes);
}

std::string UnmarkedTextToUtf8(std::string_view bytes, bool ansi) {
    const TCodePageConverter* converter = AnsiConverter();
    if (!ansi || converter == nullptr) return Utf8OrWindows1252ToUtf8(bytes);
    return converter->ToUtf8(bytes);
}

std::string UnmarkedTextFromUtf8(std::string_view utf8, bool ansi) {
    const TCodePageConverter* converter = AnsiConverter();
    if (!ansi || converter == nullptr) return std::string(utf8);
    return converter->FromUtf8(utf8);
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
        const TUtf8Char decoded = DecodeUtf8Char(utf8);
        const char32_t c = decoded.Valid ? decoded.Code : kReplacementChar;
        const std::size_t len = decoded.Valid ? decoded.Length : 1;
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
        const TUtf8Char c = DecodeUtf8Char(bytes);
        if (c.Valid) {
            out.append(bytes.substr(0, c.Length));
            bytes.remove_prefix(c.Length);
            continue;
        }
        const auto b = static_cast<unsigned char>(bytes.front());
        AppendUtf8(out, (b >= 0x80 && b <= 0x9F) ? char32_t(kWindows1252High[b - 0x80]) : char32_t(b));
        bytes.remove_prefix(1);
    }
    return out;
}

}  // namespace kdv
