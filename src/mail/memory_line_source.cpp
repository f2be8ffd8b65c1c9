#include "mail/memory_line_source.h"

#include "mail/charset.h"

#include <cstring>

namespace kdv {

TMailMemoryLineSource::TMailMemoryLineSource(std::string_view data)
    : data_(data), encoding_(UndeclaredTextEncoding()) {}

TMailMemoryLineSource::~TMailMemoryLineSource() = default;

const TTextEncoding& TMailMemoryLineSource::DefStringEncoding() const { return *encoding_; }

bool TMailMemoryLineSource::ReadLnRFC(std::string_view& line, TLineTerminator terminator) {
    line = {};
    if (ended_) return false;
    if (pos_ >= data_.size()) {
        // Data that ended with a line break has nothing after it; data that
        // did not was given its last line in the previous call.
        ended_ = true;
        return false;
    }
    const char* begin = data_.data() + pos_;
    const std::size_t left = data_.size() - pos_;
    const char* search = begin;
    std::size_t search_left = left;
    while (search_left > 0) {
        const auto* lf = static_cast<const char*>(std::memchr(search, '\n', search_left));
        if (lf == nullptr) break;
        const std::size_t len = static_cast<std::size_t>(lf - begin);
        const bool cr_before = len > 0 && lf[-1] == '\r';
        if (terminator == TLineTerminator::LF || cr_before) {
            line = std::string_view(begin, cr_before ? len - 1 : len);
            pos_ += len + 1;
            return true;
        }
        search = lf + 1;
        search_left = left - (len + 1);
    }
    // No terminator left: the rest is the last line, without the break it ends with.
    std::string_view rest(begin, left);
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    line = rest;
    pos_ = data_.size();
    return true;
}

}  // namespace kdv
