#include "clients/connection_line_source.h"

#include "mail/charset.h"

namespace kdv {

TMailConnectionLineSource::TMailConnectionLineSource(TMailLineIO& io, std::size_t max_line_length)
    : input_(io),
      reader_(input_, {.DotStuffed = true, .MaxLineLength = max_line_length}),
      encoding_(UndeclaredTextEncoding()) {}

TMailConnectionLineSource::~TMailConnectionLineSource() = default;

const TTextEncoding& TMailConnectionLineSource::DefStringEncoding() const { return *encoding_; }

}  // namespace kdv
