#include "platform/program_arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "platform/windows_text.h"

namespace kdv {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
    ::LocalFree(wide);
    return args;
}

namespace {

UINT previousOutputCodePage = 0;

// The console belongs to the shell as well: it gets its code page back.
void RestoreConsoleCodePage() { ::SetConsoleOutputCP(previousOutputCodePage); }

}  // namespace

void UseUtf8Console() {
    // Without a console (a service, output to a file) there is nothing to set.
    previousOutputCodePage = ::GetConsoleOutputCP();
    if (previousOutputCodePage == 0 || previousOutputCodePage == CP_UTF8) return;
    if (::SetConsoleOutputCP(CP_UTF8)) std::atexit(RestoreConsoleCodePage);
}

}  // namespace kdv
