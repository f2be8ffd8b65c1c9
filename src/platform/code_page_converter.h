#pragma once
// The operating system's own conversion tables, addressed by Windows code page
// number, for the charsets this program does not convert itself.
#include <memory>
#include <string>
#include <string_view>

namespace kdv {

// Conversion between one code page and UTF-8. Thread-safe; never throws on bad input.
class TCodePageConverter {
public:
    virtual ~TCodePageConverter();
    // Bytes in the code page to UTF-8; an invalid or truncated sequence becomes U+FFFD.
    virtual std::string ToUtf8(std::string_view bytes) const = 0;
    // UTF-8 to bytes in the code page; a character the code page cannot hold, or an
    // invalid UTF-8 sequence, becomes the code page's "?".
    virtual std::string FromUtf8(std::string_view utf8) const = 0;
};

// The converter for a code page; null when the system has no conversion for it.
std::unique_ptr<TCodePageConverter> OpenCodePageConverter(int codePage);

}  // namespace kdv
