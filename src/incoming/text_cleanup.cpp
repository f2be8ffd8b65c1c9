#include "incoming/text_cleanup.h"

namespace kdv {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when text at pos starts with pattern (pattern in lower case), letters
// compared without case.
bool MatchesAt(std::string_view text, std::size_t pos, std::string_view pattern, bool ignoreCase) {
    if (text.size() - pos < pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = ignoreCase ? LowerAscii(text[pos + i]) : text[pos + i];
        if (c != pattern[i]) {
            return false;
        }
    }
    return true;
}

// Every occurrence of pattern replaced in one left-to-right pass; the inserted
// text is not searched again, so "&amp;lt;" gives "&lt;" and not "<".
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement,
                       bool ignoreCase = false) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (MatchesAt(text, pos, pattern, ignoreCase)) {
            out += replacement;
            pos += pattern.size();
        } else {
            out += text[pos];
            ++pos;
        }
    }
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Tags go, and so does a blank or tab that only precedes white space or a tag.
// The tag flag survives line ends, so a tag may span lines. A "<" opens a tag
// only when a ">" follows somewhere later, and a ">" outside a tag is text:
// a plain-text mail saying "Pegel < 5 m" or "Pegel > 5 m" keeps its words.
std::string StripTagsAndBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const std::size_t lastClose = text.rfind('>');
    auto opensTag = [&](std::size_t pos) {
        return text[pos] == '<' && lastClose != std::string_view::npos && lastClose > pos;
    };
    bool insideTag = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (insideTag) {
            insideTag = c != '>';
            continue;
        }
        if (opensTag(i)) {
            insideTag = true;
            continue;
        }
        if (IsBlank(c) && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (IsBlank(next) || next == '\n' || next == '\r' || opensTag(i + 1)) {
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string HtmlToText(std::string_view text) {
    std::string result = StripTagsAndBlanks(text);
    result = ReplaceAll(result, "&quot;", "\"");
    result = ReplaceAll(result, "&apos;", "'");
    result = ReplaceAll(result, "&gt;", ">");
    result = ReplaceAll(result, "&lt;", "<");
    result = ReplaceAll(result, "&amp;", "&");
    result = ReplaceAll(result, "\r\n\r\n", "\r\n");
    return ReplaceAll(result, "<br>", "\r", true);
}

std::string CleanBetreff(std::string_view subject) {
    std::string result(subject);
    for (const std::string_view marker : {"fw:", "wg:", "aw:", "re:"}) {
        result = ReplaceAll(result, marker, "", true);
    }
    // Blanks and every control character count as white space at the ends.
    auto isSpace = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t begin = 0;
    std::size_t end = result.size();
    while (begin < end && isSpace(result[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(result[end - 1])) {
        --end;
    }
    return result.substr(begin, end - begin);
}

std::string CleanDateiname(std::string_view fileName) {
    std::string result;
    result.reserve(fileName.size());
    for (const char c : fileName) {
        if (c != '#' && c != '!' && c != ':' && c != '&' && c != '?') {
            result += c;
        }
    }
    return result;
}

}  // namespace kdv
