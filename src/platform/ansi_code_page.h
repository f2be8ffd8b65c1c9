#pragma once
// The code page in which this system's own tools write text files that carry
// no byte-order mark (the settings file and the sender list an operator
// saves with a plain editor).
namespace kdv {

inline constexpr int kUtf8CodePage = 65001;

// Linux: kUtf8CodePage, the system's text being UTF-8. Windows: the ANSI
// code page of the regional settings (GetACP; 1252 on a German machine).
int SystemAnsiCodePage();

}  // namespace kdv
