#include "mail/mail_line_source.h"

namespace kdv {

TLineBreakAt FindLineBreak(std::string_view data, std::size_t from, TLineTerminator terminator,
                           bool bare_lf_breaks, bool complete) {
    const bool lf_ends = terminator == TLineTerminator::LF || bare_lf_breaks;
    const char* bytes = data.data();
    const std::size_t size = data.size();
    for (std::size_t i = from; i < size; ++i) {
        const char c = bytes[i];
        // Most bytes are past both break characters: one comparison for them.
        if (c > '\r' || (c != '\r' && c != '\n')) continue;
        if (c == '\n') {
            if (lf_ends) return {i, 1};
            continue;
        }
        if (i + 1 < size) return {i, bytes[i + 1] == '\n' ? std::size_t{2} : std::size_t{1}};
        return {i, complete ? std::size_t{1} : std::size_t{0}};
    }
    return {size, 0};
}

bool FirstBreakIsBare(std::string_view head, bool complete, bool& decided) {
    const std::size_t first = head.find_first_of("\r\n");
    if (first == std::string_view::npos) {
        decided = complete;
        return false;
    }
    if (head[first] == '\n') {
        decided = true;
        return true;
    }
    if (first + 1 < head.size()) {
        decided = true;
        return head[first + 1] != '\n';
    }
    // A CR at the very end of a whole text ends its only line: nothing to learn from it.
    decided = complete;
    return false;
}

}  // namespace kdv
