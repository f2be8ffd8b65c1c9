#include "mail/memory_line_source.h"

#include "mail/charset.h"

namespace kdv {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kLf = "\n";
constexpr std::string_view kCr = "\r";

}  // namespace

TMailMemoryLineSource::TMailMemoryLineSource(std::string_view data)
    : data_(data), encoding_(UndeclaredTextEncoding()) {
    bool decided = false;
    bare_lf_breaks_ = FirstBreakIsBare(data, true, decided);
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
    const TLineBreakAt found = FindLineBreak(data_, pos_, terminator, bare_lf_breaks_, true);
    if (found.Length > 0) {
        line = std::string_view(begin, found.At - pos_);
        break_ = found.Length == 2 ? kCrLf : data_[found.At] == '\r' ? kCr : kLf;
        pos_ = found.At + found.Length;
        return true;
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
