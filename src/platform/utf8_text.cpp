#include "platform/utf8_text.h"

namespace kdv {

TUtf8Char DecodeUtf8Char(std::string_view text) {
    if (text.empty()) return {0, 0, false};
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) return {lead, 1, true};
    std::size_t length = 0;
    char32_t code = 0;
    // Allowed range of the second byte: it rules out overlong forms,
    // surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {lead, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size()) return {lead, i, false};
        const auto next = static_cast<unsigned char>(text[i]);
        if (next < low || next > high) return {lead, i, false};
        low = 0x80;
        high = 0xBF;
        code = (code << 6) | (next & 0x3F);
    }
    return {code, length, true};
}

bool IsValidUtf8(std::string_view text) {
    while (!text.empty()) {
        if (static_cast<unsigned char>(text.front()) < 0x80) {
            text.remove_prefix(1);
            continue;
        }
        const TUtf8Char c = DecodeUtf8Char(text);
        if (!c.Valid) return false;
        text.remove_prefix(c.Length);
    }
    return true;
}

std::size_t Utf8CharCount(std::string_view text) {
    std::size_t count = 0;
    while (!text.empty()) {
        const TUtf8Char c = DecodeUtf8Char(text);
        text.remove_prefix(c.Valid ? c.Length : 1);
        ++count;
    }
    return count;
}

std::string_view Utf8PrefixByChars(std::string_view text, std::size_t chars) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < chars && pos < text.size(); ++n) {
        const TUtf8Char c = DecodeUtf8Char(text.substr(pos));
        pos += c.Valid ? c.Length : 1;
    }
    return text.substr(0, pos);
}

std::string_view Utf8PrefixByBytes(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t pos = 0;
    while (pos < bytes) {
        const TUtf8Char c = DecodeUtf8Char(text.substr(pos));
        const std::size_t step = c.Valid ? c.Length : 1;
        if (pos + step > bytes) break;
        pos += step;
    }
    return text.substr(0, pos);
}

std::size_t Utf8UnfinishedTail(std::string_view text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const std::string_view tail = text.substr(text.size() - back);
        if ((static_cast<unsigned char>(tail.front()) & 0xC0) == 0x80) continue;
        const auto lead = static_cast<unsigned char>(tail.front());
        const TUtf8Char c = DecodeUtf8Char(tail);
        // Only a sequence that ran out of bytes may still be completed.
        return lead >= 0xC2 && lead <= 0xF4 && !c.Valid && c.Length == back ? back : 0;
    }
    return 0;
}

}  // namespace kdv
