#include <windows.h>

#include "support/wine_check.h"

namespace kdv::testing {

// Wine's ntdll exports its version; Windows' own has no such entry.
bool RunsUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kdv::testing
