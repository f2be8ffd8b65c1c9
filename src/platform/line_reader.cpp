#include "platform/line_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/dira_error.h"

namespace kdv {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kLf = "\n";
constexpr std::string_view kCr = "\r";

constexpr const char* kLineTooLongText = "Max. Zeilenlänge überschritten.";
constexpr const char* kTransferCut = "Die Verbindung endete vor dem Ende der Nachricht.";

}  // namespace

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

std::size_t TDotUnstuffedInput::Read(char* buffer, std::size_t size) {
    std::size_t out = 0;
    while (out < size) {
        if (pending_size_ > 0) {
            buffer[out++] = pending_[0];
            pending_[0] = pending_[1];
            --pending_size_;
            continue;
        }
        if (at_ == TAt::End) break;
        if (pos_ == have_) {
            // Hand on what is decided before waiting for more.
            if (out > 0) break;
            if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kReadBlock);
            have_ = input_.Read(block_.get(), kReadBlock);
            pos_ = 0;
            if (have_ == 0) throw EDiraError(TErrorKind::ekPeerClosed, kTransferCut);
        }
        const char c = block_[pos_];
        switch (at_) {
            case TAt::LineStart:
                if (c == '.') {
                    at_ = TAt::Dot;
                    ++pos_;
                } else {
                    at_ = TAt::InLine;
                }
                break;
            case TAt::Dot:
                ++pos_;
                if (c == '\n') {
                    at_ = TAt::End;
                } else if (c == '\r') {
                    at_ = TAt::DotCr;
                } else {
                    // "..x" stands for ".x"; a single dot before anything
                    // else is a server's slip, kept as data.
                    pending_[0] = '.';
                    pending_size_ = 1;
                    if (c != '.') --pos_;
                    at_ = TAt::InLine;
                }
                break;
            case TAt::DotCr:
                if (c == '\n') {
                    ++pos_;
                    at_ = TAt::End;
                } else {
                    pending_[0] = '.';
                    pending_[1] = '\r';
                    pending_size_ = 2;
                    at_ = TAt::InLine;
                }
                break;
            case TAt::InLine: {
                const std::size_t take = std::min(size - out, have_ - pos_);
                const char* from = block_.get() + pos_;
                const auto* lf = static_cast<const char*>(std::memchr(from, '\n', take));
                const std::size_t n = lf == nullptr ? take : static_cast<std::size_t>(lf - from) + 1;
                std::memcpy(buffer + out, from, n);
                out += n;
                pos_ += n;
                if (lf != nullptr) at_ = TAt::LineStart;
                break;
            }
            case TAt::End:
                break;
        }
    }
    return out;
}

TLineReader::TLineReader(ILineInput& input, const TLineReaderOptions& options) : options_(options) {
    if (options.DotStuffed) {
        unstuffed_ = std::make_unique<TDotUnstuffedInput>(input);
        input_ = unstuffed_.get();
    } else {
        input_ = &input;
    }
}

TLineReader::TLineReader(std::string_view whole, const TLineReaderOptions& options)
    : options_(options), data_(whole.data()), size_(whole.size()), input_ended_(true) {}

TLineReader::~TLineReader() = default;

void TLineReader::Fill() {
    // Only the line begun stays: the buffer holds at most one line and a block.
    const std::size_t keep = size_ - start_;
    if (start_ > 0 && keep > 0) std::memmove(buffer_.get(), buffer_.get() + start_, keep);
    size_ = keep;
    start_ = 0;
    if (capacity_ - size_ < kReadBlock) {
        const std::size_t capacity = std::max(capacity_ * 2, size_ + kReadBlock);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
        buffer_ = std::move(grown);
        capacity_ = capacity;
    }
    data_ = buffer_.get();
    const std::size_t got = input_->Read(buffer_.get() + size_, kReadBlock);
    size_ += got;
    if (got == 0) input_ended_ = true;
}

TLineBreakAt TLineReader::FindBreak(std::size_t from, TLineTerminator terminator) const {
    if (options_.BareBreaks) return FindLineBreak(Held(), from, terminator, bare_lf_breaks_, input_ended_);
    // Lines as the wire carries them: only an LF ends one; a CR of this line
    // right before it belongs to the break.
    for (std::size_t i = from; i < size_;) {
        const auto* lf = static_cast<const char*>(std::memchr(data_ + i, '\n', size_ - i));
        if (lf == nullptr) break;
        const std::size_t at = static_cast<std::size_t>(lf - data_);
        if (at > start_ && data_[at - 1] == '\r') return {at - 1, 2};
        if (terminator == TLineTerminator::LF) return {at, 1};
        i = at + 1;
    }
    return {size_, 0};
}

void TLineReader::CheckLength(std::size_t length) const {
    if (options_.MaxLineLength != 0 && length > options_.MaxLineLength) {
        throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLongText);
    }
}

void TLineReader::CheckPending() const {
    // Without a break yet the line is at least this long (a CR at the end
    // may still turn out to be its break).
    const std::size_t pending = size_ - start_;
    CheckLength(pending > 0 && data_[size_ - 1] == '\r' ? pending - 1 : pending);
}

bool TLineReader::ReadLine(std::string_view& line, TLineTerminator terminator) {
    line = {};
    break_ = {};
    if (ended_) return false;
    // The mail's first break tells whether a bare LF ends its lines; until
    // it is seen, no line can end anyway.
    while (options_.BareBreaks && !form_known_) {
        // No line was given yet, so the mail's text begins at start_; what
        // was searched before holds no break but perhaps a CR at its end.
        bare_lf_breaks_ = FirstBreakIsBare(Held().substr(start_ + form_searched_), input_ended_, form_known_);
        if (form_known_) break;
        CheckPending();
        form_searched_ = size_ - start_;
        if (form_searched_ > 0 && data_[size_ - 1] == '\r') --form_searched_;
        Fill();
    }
    std::size_t searched = start_;
    for (;;) {
        const TLineBreakAt found = FindBreak(searched, terminator);
        if (found.Length > 0) {
            CheckLength(found.At - start_);
            line = std::string_view(data_ + start_, found.At - start_);
            break_ = found.Length == 2 ? kCrLf : data_[found.At] == '\r' ? kCr : kLf;
            start_ = found.At + found.Length;
            return true;
        }
        if (input_ended_) break;
        CheckPending();
        searched = found.At - start_;
        Fill();
        searched += start_;
    }
    if (start_ >= size_) {
        ended_ = true;
        return false;
    }
    // No break left: the rest is the last line, without an LF that ended it
    // where a bare LF is no break.
    std::string_view rest(data_ + start_, size_ - start_);
    if (rest.back() == '\n') {
        rest.remove_suffix(1);
        break_ = kLf;
    }
    CheckLength(rest.size());
    line = rest;
    start_ = size_;
    return true;
}

}  // namespace kdv
