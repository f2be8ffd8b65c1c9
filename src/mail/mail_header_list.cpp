#include "mail/mail_header_list.h"

#include "mail/mail_text_util.h"

namespace kdv {
using namespace mailtext;
namespace {

bool IsContinuation(std::string_view line) { return !line.empty() && IsBlankOrTab(line.front()); }

bool IsUtf8Lead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Line breaks inside a value, with the white space around them, become one
// blank: a value must never be able to end the header block or smuggle in a
// header line of its own.
std::string OneLineValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        while (!out.empty() && IsBlankOrTab(out.back())) out.pop_back();
        while (i + 1 < value.size() &&
               (value[i + 1] == '\r' || value[i + 1] == '\n' || IsBlankOrTab(value[i + 1]))) {
            ++i;
        }
        out += ' ';
    }
    return std::string(TrimBlanks(out));
}

}  // namespace

std::vector<std::string> FoldHeaderLine(std::string_view line, std::size_t foldLength, std::size_t minBreak) {
    constexpr std::size_t npos = std::string_view::npos;
    std::vector<std::string> pieces;
    std::size_t start = 0;
    bool first = true;
    // Each pass looks at one piece and a little beyond it, so folding stays
    // linear in the line's length however long the line is.
    for (;;) {
        const std::size_t lead = first ? 0 : 1;  // the continuation's own blank
        const std::size_t minIndex = first ? minBreak : 1;
        std::size_t chars = lead;
        std::size_t lastWithin = npos;
        std::size_t firstAfter = npos;
        bool inQuotes = false;
        bool tooLong = false;
        for (std::size_t i = start; i < line.size(); ++i) {
            const char c = line[i];
            if (IsUtf8Lead(c)) ++chars;
            if (chars > foldLength) {
                tooLong = true;
                if (lastWithin != npos) break;
            }
            if (inQuotes) {
                if (c == '\\' && i + 1 < line.size()) {
                    ++i;
                    if (IsUtf8Lead(line[i])) ++chars;
                } else if (c == '"') {
                    inQuotes = false;
                }
                continue;
            }
            if (c == '"') {
                inQuotes = true;
            } else if ((c == ' ' || c == '\t' || c == ',') && i - start + lead >= minIndex) {
                if (chars <= foldLength) {
                    lastWithin = i;
                } else {
                    firstAfter = i;
                    break;
                }
            }
        }
        tooLong = tooLong || chars > foldLength;
        const std::size_t at = lastWithin != npos ? lastWithin : firstAfter;
        std::string piece = first ? std::string() : std::string(" ");
        if (!tooLong || at == npos) {
            piece += TrimRightBlanks(line.substr(start));
            pieces.push_back(std::move(piece));
            return pieces;
        }
        piece += TrimRightBlanks(line.substr(start, at + 1 - start));
        pieces.push_back(std::move(piece));
        std::size_t next = at + 1;
        while (next < line.size() && IsBlankOrTab(line[next])) ++next;
        if (next >= line.size()) return pieces;
        start = next;
        first = false;
    }
}

TMailHeaderList::TMailHeaderList(std::string separator) : separator_(std::move(separator)), nameEnd_(':') {
    const std::string_view trimmed = TrimBlanks(separator_);
    if (!trimmed.empty()) nameEnd_ = trimmed.front();
}

void TMailHeaderList::Add(std::string line) { lines_.push_back(std::move(line)); }

void TMailHeaderList::Delete(std::size_t index) {
    if (index >= lines_.size()) return;
    std::size_t end = index + 1;
    while (end < lines_.size() && IsContinuation(lines_[end])) ++end;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index), lines_.begin() + static_cast<std::ptrdiff_t>(end));
}

std::string TMailHeaderList::Text() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string TMailHeaderList::Name(std::size_t index) const {
    if (index >= lines_.size()) return {};
    const std::string_view line = lines_[index];
    if (line.empty() || IsContinuation(line)) return {};
    const std::size_t end = line.find(nameEnd_);
    if (end == std::string_view::npos) return {};
    return std::string(TrimRightBlanks(line.substr(0, end)));
}

int TMailHeaderList::IndexOfName(std::string_view name) const {
    const std::string_view wanted = TrimBlanks(name);
    if (wanted.empty()) return -1;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const std::string_view line = lines_[i];
        // Cheap prefix test first: most lines do not start with the name.
        if (line.size() <= wanted.size() || !StartsWithNoCase(line, wanted)) continue;
        const std::string_view after = TrimLeftBlanks(line.substr(wanted.size()));
        if (!after.empty() && after.front() == nameEnd_) return static_cast<int>(i);
    }
    return -1;
}

std::string TMailHeaderList::ValueAt(std::size_t index) const {
    if (index >= lines_.size()) return {};
    const std::string_view line = lines_[index];
    const std::size_t end = line.find(nameEnd_);
    std::string value(TrimBlanks(end == std::string_view::npos ? std::string_view() : line.substr(end + 1)));
    for (std::size_t i = index + 1; i < lines_.size() && IsContinuation(lines_[i]); ++i) {
        const std::string_view more = TrimBlanks(lines_[i]);
        if (more.empty()) continue;
        if (!value.empty()) value += ' ';
        value += more;
    }
    return value;
}

std::string TMailHeaderList::Values(std::string_view name) const {
    const int index = IndexOfName(name);
    return index < 0 ? std::string() : ValueAt(static_cast<std::size_t>(index));
}

std::vector<std::string> TMailHeaderList::FoldedLines(std::string_view name, std::string_view value) const {
    std::string line(TrimBlanks(name));
    const std::size_t valueStart = line.size() + separator_.size();
    line += separator_;
    line += value;
    return FoldHeaderLine(line, kHeaderFoldLength, valueStart);
}

void TMailHeaderList::SetValue(std::string_view name, std::string_view value) {
    const std::string clean = OneLineValue(value);
    const int index = IndexOfName(name);
    if (clean.empty()) {
        if (index >= 0) Delete(static_cast<std::size_t>(index));
        return;
    }
    std::vector<std::string> folded = FoldedLines(name, clean);
    if (index < 0) {
        for (std::string& line : folded) lines_.push_back(std::move(line));
        return;
    }
    Delete(static_cast<std::size_t>(index));
    lines_.insert(lines_.begin() + index, std::make_move_iterator(folded.begin()),
                  std::make_move_iterator(folded.end()));
}

void TMailHeaderList::AddValue(std::string_view name, std::string_view value) {
    const std::string clean = OneLineValue(value);
    if (clean.empty()) return;
    for (std::string& line : FoldedLines(name, clean)) lines_.push_back(std::move(line));
}

void TMailHeaderList::Remove(std::string_view name) {
    const int index = IndexOfName(name);
    if (index >= 0) Delete(static_cast<std::size_t>(index));
}

std::vector<std::pair<std::string, std::string>> TMailHeaderList::Unfolded() const {
    std::vector<std::pair<std::string, std::string>> headers;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (IsContinuation(lines_[i])) continue;
        std::string name = Name(i);
        if (name.empty()) continue;
        headers.emplace_back(std::move(name), ValueAt(i));
    }
    return headers;
}

std::string TMailHeaderList::Params(std::string_view name, std::string_view param) const {
    return HeaderParam(Values(name), param);
}

void TMailHeaderList::SetParams(std::string_view name, std::string_view param, std::string_view value) {
    const std::string current = Values(name);
    if (current.empty() && value.empty()) return;
    SetValue(name, SetHeaderParam(current, param, value, QuotingForHeader(name)));
}

}  // namespace kdv
