#include "platform/host_name.h"

#include <windows.h>

#include "platform/windows_text.h"

namespace kdv {

// The DNS host name without domain, as gethostname gives it on Linux; the
// NetBIOS name would be cut to 15 characters and upper case.
std::string LocalHostName() {
    wchar_t name[256] = {};
    DWORD size = sizeof name / sizeof name[0];
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) return "localhost";
    return Utf8FromWide(std::wstring_view(name, size));
}

}  // namespace kdv
