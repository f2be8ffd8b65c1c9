#include "platform/code_page_converter.h"

#include <windows.h>

#include "platform/utf8_text.h"
#include "platform/windows_text.h"

namespace kdv {

TCodePageConverter::~TCodePageConverter() = default;

namespace {

// Code pages whose conversion calls take no flags at all (the flags below
// make them fail): the stateful and 7-bit encodings, and UTF-7.
bool TakesNoFlags(UINT codePage) {
    return codePage == CP_UTF8 || (codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 54936 ||
           (codePage >= 57002 && codePage <= 57011) || codePage == 65000 || codePage == 42;
}

// Code pages that some systems convert only under another number with the
// same table: Windows converts EUC-JP as 20932 only (51932 is known to its
// web components alone); EUC-KR's characters are those of the Korean
// Windows code page, and ISO-8859-8-I is ISO-8859-8 in logical order. The
// other number is used only when the system has no conversion for the first.
UINT SameTableCodePage(UINT codePage) {
    switch (codePage) {
        case 51932: return 20932;
        case 51949: return 949;
        case 38598: return 28598;
        default: return 0;
    }
}

class TWindowsConverter final : public TCodePageConverter {
public:
    explicit TWindowsConverter(UINT codePage) : code_page_(codePage) {}

    bool Open() {
        CPINFO info{};
        if (!::GetCPInfo(code_page_, &info)) return false;
        double_byte_ = info.MaxCharSize == 2;
        replacement_ = FromWide(L"?");
        return !replacement_.empty();
    }

    std::string ToUtf8(std::string_view bytes) const override {
        if (bytes.empty()) return {};
        std::wstring text;
        if (TakesNoFlags(code_page_)) {
            // The system puts its own replacement in place of what it cannot read.
            if (!Decode(bytes, 0, text)) return AsciiOnly(bytes);
            return Utf8FromWide(text);
        }
        if (Decode(bytes, MB_ERR_INVALID_CHARS, text)) return Utf8FromWide(text);
        // Without MB_ERR_INVALID_CHARS the system would put the code page's
        // default character in place of a broken sequence (for Japanese a
        // middle dot that reads like text), so the text is taken apart into
        // characters and every one the system refuses becomes U+FFFD.
        std::string out;
        out.reserve(bytes.size() + 8);
        std::size_t at = 0;
        while (at < bytes.size()) {
            const bool lead = double_byte_ && ::IsDBCSLeadByteEx(code_page_, static_cast<BYTE>(bytes[at]));
            const std::size_t length = lead ? 2 : 1;
            if (at + length > bytes.size()) {
                out += kReplacement;  // cut short
                break;
            }
            if (Decode(bytes.substr(at, length), MB_ERR_INVALID_CHARS, text)) {
                out += Utf8FromWide(text);
                at += length;
            } else {
                // A bad second byte may be a character of its own.
                out += kReplacement;
                ++at;
            }
        }
        return out;
    }

    std::string FromUtf8(std::string_view utf8) const override {
        // One replacement per character the code page cannot hold, and one
        // per broken UTF-8 sequence: the wide text then holds U+FFFD, which
        // the system's default character replaces in turn.
        std::string out;
        out.reserve(utf8.size());
        std::size_t clean = 0;
        while (clean < utf8.size()) {
            const TUtf8Char c = DecodeUtf8Char(utf8.substr(clean));
            if (!c.Valid) break;
            clean += c.Length;
        }
        if (clean == utf8.size()) return FromWide(WideFromUtf8(utf8));
        while (!utf8.empty()) {
            const TUtf8Char c = DecodeUtf8Char(utf8);
            if (c.Valid) {
                out += FromWide(WideFromUtf8(utf8.substr(0, c.Length)));
            } else {
                out += replacement_;
            }
            utf8.remove_prefix(c.Length);
        }
        return out;
    }

private:
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

    bool Decode(std::string_view bytes, DWORD flags, std::wstring& text) const {
        const int length = static_cast<int>(bytes.size());
        const int wide = ::MultiByteToWideChar(code_page_, flags, bytes.data(), length, nullptr, 0);
        if (wide <= 0) return false;
        text.assign(static_cast<std::size_t>(wide), L'\0');
        return ::MultiByteToWideChar(code_page_, flags, bytes.data(), length, text.data(), wide) == wide;
    }

    std::string FromWide(const std::wstring& text) const {
        if (text.empty()) return {};
        const int length = static_cast<int>(text.size());
        const DWORD flags = TakesNoFlags(code_page_) ? 0 : WC_NO_BEST_FIT_CHARS;
        const int size = ::WideCharToMultiByte(code_page_, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return {};
        std::string out(static_cast<std::size_t>(size), '\0');
        ::WideCharToMultiByte(code_page_, flags, text.data(), length, out.data(), size, nullptr, nullptr);
        return out;
    }

    // Out of resources: keep what is certainly ASCII rather than nothing.
    static std::string AsciiOnly(std::string_view bytes) {
        std::string out;
        for (const char c : bytes) out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xEF\xBF\xBD";
        return out;
    }

    UINT code_page_;
    bool double_byte_ = false;
    std::string replacement_;
};

}  // namespace

std::unique_ptr<TCodePageConverter> OpenCodePageConverter(int codePage) {
    // The code page numbers are Windows' own; 0 to 3 are aliases of the
    // machine's settings (CP_ACP, ...), not a charset a mail names.
    if (codePage <= 3) return nullptr;
    auto converter = std::make_unique<TWindowsConverter>(static_cast<UINT>(codePage));
    if (converter->Open()) return converter;
    const UINT same_table = SameTableCodePage(static_cast<UINT>(codePage));
    if (same_table == 0) return nullptr;
    converter = std::make_unique<TWindowsConverter>(same_table);
    if (!converter->Open()) return nullptr;
    return converter;
}

}  // namespace kdv
