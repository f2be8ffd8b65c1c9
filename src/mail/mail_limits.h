#pragma once
// How much one received mail may ask of the service. Each limit keeps a
// hostile or broken mail from taking the memory or the disk that the other
// mails need; a mail beyond one fails with a German line that names it.
#include <cstddef>

namespace kdv {

// The text of one mail (its body lines and text parts, after transfer
// decoding) is held in memory; more than this is no correspondence.
inline constexpr std::size_t kMaxMessageTextBytes = 32u * 1024 * 1024;

// A mail with more parts than this is no correspondence but an attack on the
// disk (every part may become a temporary file).
inline constexpr std::size_t kMaxMessageParts = 10000;

// Multiparts nested deeper than this are no correspondence; every body line
// is compared with each open boundary, so the depth must stay small.
inline constexpr std::size_t kMaxMultipartDepth = 100;

// BinHex run-length coding turns four characters into up to 255 bytes; the
// data fork it writes is capped like the text, times the largest mails real
// servers accept.
inline constexpr std::size_t kMaxBinHexBytes = 4 * kMaxMessageTextBytes;

}  // namespace kdv
