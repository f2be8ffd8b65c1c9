#pragma once
// Encoded words in received header values ("=?ISO-8859-1?Q?Gr=FC=DFe?=").
#include <string>
#include <string_view>

namespace kdv {

// Replaces every well-formed encoded word (Q, B or 8 encoding, any case) of
// the UTF-8 text by its decoded text; the white space between two adjacent
// encoded words is removed, and adjacent words of one charset are decoded as
// one. Anything that does not parse stays as it is.
// Never fails; runs in time linear in the text.
std::string DecodeHeaderWords(std::string_view text);

}  // namespace kdv
