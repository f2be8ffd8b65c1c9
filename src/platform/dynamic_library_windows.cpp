#include "platform/dynamic_library.h"

#include <windows.h>

#include "platform/windows_text.h"

namespace kdv {

std::unique_ptr<TDynamicLibrary> TDynamicLibrary::Load(const std::string& Name, std::string& ErrorText) {
    const std::wstring wide = WideFromUtf8(Name);
    // A library named with its folder finds the libraries it needs beside
    // it (the TLS library its crypto library); a bare name is searched in
    // the system's order, the program's own folder first.
    const bool hasFolder = Name.find_first_of("\\/") != std::string::npos;
    // A missing library is reported to the caller, never in a dialog box.
    const UINT oldMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE handle = ::LoadLibraryExW(wide.c_str(), nullptr, hasFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    const DWORD error = ::GetLastError();
    ::SetErrorMode(oldMode);
    if (handle == nullptr) {
        ErrorText = Name + ": " + WindowsErrorText(error) + " (Fehler #" + std::to_string(error) + ")";
        return nullptr;
    }
    return std::unique_ptr<TDynamicLibrary>(new TDynamicLibrary(reinterpret_cast<void*>(handle), Name));
}

TDynamicLibrary::TDynamicLibrary(void* Handle, std::string Name) : FHandle(Handle), FName(std::move(Name)) {}

TDynamicLibrary::~TDynamicLibrary() { ::FreeLibrary(static_cast<HMODULE>(FHandle)); }

void* TDynamicLibrary::Symbol(const char* Name) const {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(FHandle), Name));
}

}  // namespace kdv
