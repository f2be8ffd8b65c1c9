#include "platform/operator_message.h"

#include <windows.h>

#include <iostream>

#include "platform/windows_text.h"

namespace kdv {
namespace {

// A window station that shows windows: an interactive session, not a
// service's or a remote shell's.
bool DesktopVisible() {
    USEROBJECTFLAGS flags{};
    HWINSTA station = ::GetProcessWindowStation();
    return station != nullptr &&
           ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Whether the text on standard error reaches nobody once the program ends.
bool TextWouldBeLost() {
    const DWORD type = ::GetFileType(::GetStdHandle(STD_ERROR_HANDLE));
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) return false;
    DWORD processes[2] = {};
    // Only this process on its console: the console was made for it and
    // closes with it.
    return ::GetConsoleWindow() == nullptr || ::GetConsoleProcessList(processes, 2) <= 1;
}

}  // namespace

void ShowOperatorMessage(const std::string& title, const std::string& text, bool failure) {
    (failure ? std::cerr : std::cout) << text << std::endl;
    if (!DesktopVisible() || !TextWouldBeLost()) return;
    ::MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8(title).c_str(),
                  MB_OK | MB_SETFOREGROUND | (failure ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace kdv
