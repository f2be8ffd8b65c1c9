#include "platform/ansi_code_page.h"

namespace kdv {

int SystemAnsiCodePage() { return kUtf8CodePage; }

}  // namespace kdv
