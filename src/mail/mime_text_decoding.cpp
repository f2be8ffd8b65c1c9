#include "mail/mime_text_decoding.h"

#include "mail/charset.h"

namespace kdv {
namespace {

constexpr int kUsAsciiCodePage = 20127;

bool IsBlankName(std::string_view name) {
    for (char c : name)
        if (c != ' ' && c != '\t' && c != '"') return false;
    return true;
}

}  // namespace

std::shared_ptr<const TTextEncoding> TextEncodingForCharset(std::string_view charset) {
    if (IsBlankName(charset)) return UndeclaredTextEncoding();
    auto encoding = FindCharsetEncoding(charset);
    // A charset nobody here knows says nothing about the bytes either.
    if (!encoding || encoding->CodePage() == kUsAsciiCodePage) return UndeclaredTextEncoding();
    return encoding;
}

}  // namespace kdv
