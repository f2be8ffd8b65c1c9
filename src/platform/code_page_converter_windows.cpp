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

class TWindowsConverter final : public TCodePageConverter {
public:
    explicit TWindowsConverter(UINT codePage) : code_page_(codePage) {}

    bool Open() {
        CPINFO info{};
        if (!::GetCPInfo(code_page_, &info)) return false;
        replacement_ = FromWide(L"?");
        return !replacement_.empty();
    }

    std::string ToUtf8(std::string_view bytes) const override {
        if (bytes.empty()) return {};
        // MB_ERR_INVALID_CHARS would refuse the whole text; without it the
        // system puts U+FFFD in place of a byte sequence it cannot read.
        const int length = static_cast<int>(bytes.size());
        const int wide = ::MultiByteToWideChar(code_page_, 0, bytes.data(), length, nullptr, 0);
        if (wide <= 0) return AsciiOnly(bytes);
        std::wstring text(static_cast<std::size_t>(wide), L'\0');
        ::MultiByteToWideChar(code_page_, 0, bytes.data(), length, text.data(), wide);
        return Utf8FromWide(text);
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
    std::string replacement_;
};

}  // namespace

std::unique_ptr<TCodePageConverter> OpenCodePageConverter(int codePage) {
    // The code page numbers are Windows' own; 0 to 3 are aliases of the
    // machine's settings (CP_ACP, ...), not a charset a mail names.
    if (codePage <= 3) return nullptr;
    auto converter = std::make_unique<TWindowsConverter>(static_cast<UINT>(codePage));
    if (!converter->Open()) return nullptr;
    return converter;
}

}  // namespace kdv
