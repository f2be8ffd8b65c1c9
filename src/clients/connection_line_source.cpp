#include "clients/connection_line_source.h"

#include "mail/charset.h"

namespace kdv {

TMailConnectionLineSource::TMailConnectionLineSource(TMailLineIO& io, std::size_t max_line_length)
    : io_(io), max_line_length_(max_line_length), encoding_(UndeclaredTextEncoding()) {}

TMailConnectionLineSource::~TMailConnectionLineSource() = default;

const TTextEncoding& TMailConnectionLineSource::DefStringEncoding() const { return *encoding_; }

bool TMailConnectionLineSource::ReadLnRFC(std::string_view& line, TLineTerminator terminator) {
    line = {};
    if (ended_) return false;
    // The connection's own failures (the peer closing before ".", a
    // time-out, an over-long line) propagate: the transfer is incomplete.
    line = io_.ReadRawLn(terminator == TLineTerminator::LF ? TLineEnd::LF : TLineEnd::CRLF, max_line_length_);
    if (line == ".") {
        ended_ = true;
        line = {};
        return false;
    }
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.remove_prefix(1);
    return true;
}

}  // namespace kdv
