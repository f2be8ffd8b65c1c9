#include "support/utf16_bytes.h"

namespace kdv::testing {

std::string Utf16Bytes(std::u16string_view text, bool bigEndian, bool withMark) {
    std::string bytes;
    const auto put = [&](char16_t unit) {
        const char hi = static_cast<char>(unit >> 8);
        const char lo = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? hi : lo;
        bytes += bigEndian ? lo : hi;
    };
    if (withMark) put(0xFEFF);
    for (const char16_t unit : text) put(unit);
    return bytes;
}

}  // namespace kdv::testing
