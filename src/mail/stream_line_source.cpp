#include "mail/stream_line_source.h"

#include "mail/charset.h"
#include "platform/dira_error.h"

#include <cstring>

namespace kdv {
namespace {

constexpr const char* kLineTooLong = "Max. Zeilenlänge überschritten.";
constexpr const char* kTransferCut = "Die Verbindung endete vor dem Ende der Nachricht.";

}  // namespace

TMailStreamLineSource::TMailStreamLineSource(TByteInput& input, std::size_t max_line_length)
    : input_(input), max_line_length_(max_line_length), encoding_(UndeclaredTextEncoding()) {}

TMailStreamLineSource::~TMailStreamLineSource() = default;

const TTextEncoding& TMailStreamLineSource::DefStringEncoding() const { return *encoding_; }

bool TMailStreamLineSource::Fill() {
    if (input_ended_) return false;
    // Drop what was consumed before growing, so the buffer holds at most one
    // line plus one block.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kReadBlock);
    const std::size_t got = input_.Read(block_.get(), kReadBlock);
    buffer_.append(block_.get(), got);
    if (got == 0) input_ended_ = true;
    return got > 0;
}

void TMailStreamLineSource::CheckLength(std::size_t length) const {
    if (max_line_length_ != 0 && length > max_line_length_) throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
}

bool TMailStreamLineSource::ReadLnRFC(std::string_view& line, TLineTerminator terminator) {
    line = {};
    break_ = {};
    if (ended_) return false;

    std::size_t scanned = 0;  // bytes after start_ already searched for a break
    std::size_t length = 0;
    std::size_t consumed = 0;
    for (;;) {
        const char* begin = buffer_.data() + start_;
        const std::size_t avail = buffer_.size() - start_;
        bool found = false;
        while (scanned < avail) {
            const auto* lf = static_cast<const char*>(std::memchr(begin + scanned, '\n', avail - scanned));
            if (lf == nullptr) {
                scanned = avail;
                break;
            }
            const std::size_t len = static_cast<std::size_t>(lf - begin);
            const bool cr_before = len > 0 && lf[-1] == '\r';
            if (terminator == TLineTerminator::LF || cr_before) {
                length = cr_before ? len - 1 : len;
                consumed = len + 1;
                break_ = cr_before ? std::string_view("\r\n") : std::string_view("\n");
                found = true;
                break;
            }
            scanned = len + 1;
        }
        if (found) break;
        // Without a break yet, the line is at least this long (a final CR may still be the break's).
        CheckLength(avail > 0 && begin[avail - 1] == '\r' ? avail - 1 : avail);
        if (!Fill()) {
            ended_ = true;
            throw EDiraError(TErrorKind::ekPeerClosed, kTransferCut);
        }
    }
    CheckLength(length);
    std::string_view result(buffer_.data() + start_, length);
    start_ += consumed;
    if (result.size() == 1 && result[0] == '.') {
        ended_ = true;
        break_ = {};
        return false;
    }
    if (result.size() >= 2 && result[0] == '.' && result[1] == '.') result.remove_prefix(1);
    line = result;
    return true;
}

}  // namespace kdv
