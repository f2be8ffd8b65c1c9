#pragma once
// Splitting text into lines the way the text files of Windows tools are
// written: CR LF, LF or a lone CR ends a line.
#include <string_view>
#include <vector>

namespace kdv {

struct TTextLine {
    std::string_view Content;  // the line without its break
    std::string_view Break;    // "\r\n", "\n", "\r", or empty for a last line without break
};

// The lines of text, views into it. A break at the very end starts no
// further line; the empty text has no lines.
std::vector<TTextLine> SplitTextLines(std::string_view text);

}  // namespace kdv
