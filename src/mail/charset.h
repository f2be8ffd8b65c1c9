#pragma once
// Byte-to-text conversion for the charsets that appear in received mail, and
// the reverse direction for the text this service writes.
#include <memory>
#include <string>
#include <string_view>

namespace kdv {

// One charset's conversion in both directions. Objects are immutable and shared
// between threads; conversions never throw on bad input.
class TTextEncoding {
public:
    virtual ~TTextEncoding();
    // Bytes in this charset to UTF-8; an invalid or truncated sequence becomes U+FFFD.
    virtual std::string ToUtf8(std::string_view bytes) const = 0;
    // UTF-8 to bytes in this charset; a character the charset cannot hold, or an
    // invalid UTF-8 sequence, becomes "?".
    virtual std::string FromUtf8(std::string_view utf8) const = 0;
    // Windows code page number of the charset (28591 for the 8-bit fallback).
    virtual int CodePage() const = 0;
};

// The conversion for a charset name as it appears in a MIME header or encoded
// word (case and surrounding blanks/quotes ignored). Never null: an empty or
// unknown name, a name without code page, or a code page the system cannot
// convert gives the 8-bit decoding (byte n becomes U+00nn). US-ASCII and its
// aliases give UndeclaredTextEncoding(), because mail declared as US-ASCII
// often carries 8-bit text all the same.
std::shared_ptr<const TTextEncoding> CharsetToTextEncoding(std::string_view charset);

// As CharsetToTextEncoding, but null where that gives the 8-bit fallback
// (an empty or unknown name, a name without code page, a code page the
// system cannot convert).
std::shared_ptr<const TTextEncoding> FindCharsetEncoding(std::string_view charset);

// The conversion for text whose charset is undeclared or declared as US-ASCII:
// bytes that are valid UTF-8 as a whole are kept as UTF-8, any other bytes are
// read as Windows-1252 (each call decides for the bytes it is given, so pass a
// line or a whole text, not fragments). CodePage() is 20127; FromUtf8 writes
// US-ASCII with "?" for every other character.
std::shared_ptr<const TTextEncoding> UndeclaredTextEncoding();

// The 8-bit decoding on its own: byte n becomes U+00nn.
std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace kdv
