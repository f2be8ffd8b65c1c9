#include "platform/header_charset.h"

namespace kdv {

// Linux text is UTF-8 whatever the locale's language.
std::string LocaleHeaderCharset() { return "UTF-8"; }

}  // namespace kdv
