#pragma once
// How entries of the Windows application event log are worded: the event
// source "diravid" is registered at installation with the system's message
// file whose entry 3299 shows its inserted strings as they are; every entry
// the service writes uses that number.
namespace kdv {

inline constexpr unsigned long kSystemLogEventId = 3299;
inline constexpr const wchar_t* kSystemLogMessageFile = L"%SystemRoot%\\System32\\netmsg.dll";

}  // namespace kdv
