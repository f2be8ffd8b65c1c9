// Feeds arbitrary bytes through the charset conversions in both directions:
// the first byte picks the charset, the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "mail/charset.h"

namespace {

constexpr const char* kCharsets[] = {
    "",          "us-ascii",   "utf-8",      "utf-16le", "utf-16be",    "utf-16",
    "utf-7",     "utf-32",     "iso-8859-1", "iso-8859-15", "windows-1252", "windows-1250",
    "koi8-r",    "ibm850",     "ibm037",     "shift_jis", "euc-jp",     "iso-2022-jp",
    "gb18030",   "big5",       "euc-kr",     "iso-2022-kr", "windows-1258", "x-unbekannt",
};

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3
                           : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        char32_t c = length == 1 ? b : b & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < minimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const char* name = kCharsets[data[0] % std::size(kCharsets)];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto encoding = kdv::CharsetToTextEncoding(name);

    const std::string text = encoding->ToUtf8(bytes);
    Require(IsValidUtf8(text));
    encoding->FromUtf8(text);
    encoding->FromUtf8(bytes);

    Require(IsValidUtf8(kdv::UndeclaredTextEncoding()->ToUtf8(bytes)));
    Require(IsValidUtf8(kdv::Latin1ToUtf8(bytes)));
    return 0;
}
