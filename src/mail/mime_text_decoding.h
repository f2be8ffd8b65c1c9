#pragma once
// Which conversion turns the bytes of received text into UTF-8.
#include <memory>
#include <string_view>

namespace kdv {

class TTextEncoding;

// The conversion for text whose charset is `charset` as declared in a mail
// (a Content-Type parameter or an encoded word). A declared charset is
// honoured; a missing or unknown one (or one the system cannot convert), or
// US-ASCII under any of its names, does not describe bytes above 127 at all,
// so those are read as UTF-8 where they form valid UTF-8 and as Windows-1252
// otherwise, which keeps German text readable.
std::shared_ptr<const TTextEncoding> TextEncodingForCharset(std::string_view charset);

}  // namespace kdv
