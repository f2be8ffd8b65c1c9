#include "platform/ansi_code_page.h"

#include <windows.h>

namespace kdv {

int SystemAnsiCodePage() { return static_cast<int>(::GetACP()); }

}  // namespace kdv
