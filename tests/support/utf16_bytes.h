#pragma once
// File content in UTF-16, built from the compiler's own UTF-16 literals so a
// test does not check the program's encoder against itself.
#include <string>
#include <string_view>

namespace kdv::testing {

// The code units of text as bytes, little or big endian, with the
// byte-order mark FF FE / FE FF in front when withMark is set.
std::string Utf16Bytes(std::u16string_view text, bool bigEndian, bool withMark = true);

}  // namespace kdv::testing
