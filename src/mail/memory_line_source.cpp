#include "mail/memory_line_source.h"

#include "mail/charset.h"

#include <cstring>

namespace kdv {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kLf = "\n";
constexpr std::string_view kCr = "\r";

}  // namespace

TMailMemoryLineSource::TMailMemoryLineSource(std::string_view data)
    : data_(data), encoding_(UndeclaredTextEncoding()) {
    const std::size_t first = data.find_first_of("\r\n");
    if (first != std::string_view::npos) {
        if (data[first] == '\n') form_ = TForm::Lf;
        else if (first + 1 < data.size() && data[first + 1] != '\n') form_ = TForm::Cr;
    }
}

TMailMemoryLineSource::~TMailMemoryLineSource() = default;

const TTextEncoding& TMailMemoryLineSource::DefStringEncoding() const { return *encoding_; }

bool TMailMemoryLineSource::ReadLnRFC(std::string_view& line, TLineTerminator terminator) {
    line = {};
    break_ = {};
    if (ended_) return false;
    if (pos_ >= data_.size()) {
        // Data that ended with a line break has nothing after it; data that
        // did not was given its last line in the previous call.
        ended_ = true;
        return false;
    }
    const char* begin = data_.data() + pos_;
    const std::size_t left = data_.size() - pos_;

    if (form_ == TForm::Cr) {
        for (std::size_t i = 0; i < left; ++i) {
            if (begin[i] != '\r' && begin[i] != '\n') continue;
            const bool crlf = begin[i] == '\r' && i + 1 < left && begin[i + 1] == '\n';
            line = std::string_view(begin, i);
            break_ = crlf ? kCrLf : begin[i] == '\r' ? kCr : kLf;
            pos_ += i + break_.size();
            return true;
        }
    } else {
        const bool lf_ends = terminator == TLineTerminator::LF || form_ == TForm::Lf;
        const char* search = begin;
        std::size_t search_left = left;
        while (search_left > 0) {
            const auto* lf = static_cast<const char*>(std::memchr(search, '\n', search_left));
            if (lf == nullptr) break;
            const std::size_t len = static_cast<std::size_t>(lf - begin);
            const bool cr_before = len > 0 && lf[-1] == '\r';
            if (lf_ends || cr_before) {
                line = std::string_view(begin, cr_before ? len - 1 : len);
                break_ = cr_before ? kCrLf : kLf;
                pos_ += len + 1;
                return true;
            }
            search = lf + 1;
            search_left = left - (len + 1);
        }
    }
    // No break left: the rest is the last line, without the break it ends with.
    std::string_view rest(begin, left);
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    line = rest;
    break_ = std::string_view(begin + rest.size(), left - rest.size());
    pos_ = data_.size();
    return true;
}

}  // namespace kdv
