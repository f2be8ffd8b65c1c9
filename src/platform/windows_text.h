#pragma once
// The edge between the program's UTF-8 text and the wide-character (UTF-16)
// calls of Windows, and the system's own words for its error numbers. Only
// the Windows twins of this folder include it.
#include <string>
#include <string_view>
#include <system_error>

namespace kdv {

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);

// The system's text for a Windows error number (GetLastError,
// WSAGetLastError), in the language of its regional settings, without the
// line break the system ends it with; "Fehler <n>" when it has none.
std::string WindowsErrorText(unsigned long error);

// A Windows error number as an error code: its message is the system's text,
// and the common numbers compare equal to their std::errc (file_exists,
// no_such_file_or_directory, permission_denied, ...), as the POSIX codes of
// the Linux twins do.
std::error_code WindowsErrorCode(unsigned long error);
// The same for GetLastError().
std::error_code LastWindowsError();

}  // namespace kdv
