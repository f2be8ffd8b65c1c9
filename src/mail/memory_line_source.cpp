#include "mail/memory_line_source.h"

#include "mail/charset.h"

namespace kdv {

TMailMemoryLineSource::TMailMemoryLineSource(std::string_view data, std::size_t max_line_length)
    : reader_(data, {.MaxLineLength = max_line_length}), encoding_(UndeclaredTextEncoding()) {}

TMailMemoryLineSource::~TMailMemoryLineSource() = default;

const TTextEncoding& TMailMemoryLineSource::DefStringEncoding() const { return *encoding_; }

}  // namespace kdv
