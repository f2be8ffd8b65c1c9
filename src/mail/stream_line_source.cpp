#include "mail/stream_line_source.h"

#include "mail/charset.h"

namespace kdv {

TMailStreamLineSource::TMailStreamLineSource(ILineInput& input, std::size_t max_line_length)
    : reader_(input, {.DotStuffed = true, .MaxLineLength = max_line_length}), encoding_(UndeclaredTextEncoding()) {}

TMailStreamLineSource::~TMailStreamLineSource() = default;

const TTextEncoding& TMailStreamLineSource::DefStringEncoding() const { return *encoding_; }

}  // namespace kdv
