#include "mail/mail_lines.h"

#include <cstring>

namespace kdv {

std::string_view TMailLines::const_iterator::operator*() const {
    const std::size_t lf = text_->find('\n', pos_);
    return std::string_view(*text_).substr(pos_, lf - pos_);
}

TMailLines::const_iterator& TMailLines::const_iterator::operator++() {
    pos_ = text_->find('\n', pos_) + 1;
    return *this;
}

TMailLines::TMailLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) push_back(line);
}

TMailLines::TMailLines(std::initializer_list<std::string_view> lines) {
    for (std::string_view line : lines) push_back(line);
}

TMailLines& TMailLines::operator=(std::initializer_list<std::string_view> lines) {
    clear();
    for (std::string_view line : lines) push_back(line);
    return *this;
}

TMailLines TMailLines::FromText(std::string text) {
    // Breaks become LF in place: the text only shrinks, so no second buffer is needed.
    std::size_t out = 0;
    std::size_t count = 0;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < n && text[i + 1] == '\n') ++i;
            c = '\n';
        }
        if (c == '\n') ++count;
        text[out++] = c;
    }
    text.resize(out);
    if (!text.empty() && text.back() != '\n') {
        text.push_back('\n');
        ++count;
    }
    TMailLines lines;
    lines.text_ = std::move(text);
    lines.count_ = count;
    return lines;
}

void TMailLines::push_back(std::string_view line) {
    text_.append(line);
    text_.push_back('\n');
    ++count_;
    for (const char c : line)
        if (c == '\n') ++count_;
}

std::string_view TMailLines::back() const {
    const std::size_t end = text_.size() - 1;
    const std::size_t before = end == 0 ? std::string::npos : text_.rfind('\n', end - 1);
    const std::size_t start = before == std::string::npos ? 0 : before + 1;
    return std::string_view(text_).substr(start, end - start);
}

void TMailLines::pop_back() {
    if (count_ == 0) return;
    text_.resize(text_.size() - back().size() - 1);
    --count_;
}

void TMailLines::clear() {
    // Dropped, not only emptied: a cleared message must give its memory back.
    std::string().swap(text_);
    count_ = 0;
}

}  // namespace kdv
