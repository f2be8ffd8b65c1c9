#include "platform/service_installer.h"

#include <windows.h>

#include "platform/system_log_event.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t* kEventSourcesKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class TServiceHandle {
public:
    explicit TServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~TServiceHandle() {
        if (handle_ != nullptr) ::CloseServiceHandle(handle_);
    }
    TServiceHandle(const TServiceHandle&) = delete;
    TServiceHandle& operator=(const TServiceHandle&) = delete;
    SC_HANDLE Get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

TInstallOutcome Failed(DWORD error) { return {false, WindowsErrorText(error)}; }

// One argument of a command line as the program's start-up code splits it:
// in double quotes, backslashes before a quote doubled.
std::wstring QuotedArgument(const std::wstring& text) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// The executable's full path, in double quotes when it holds a blank, and
// the home folder when it is not the executable's own.
std::wstring CommandLine(const TServiceDefinition& def) {
    const std::wstring executable = def.Executable.wstring();
    std::wstring line = executable.find(L' ') != std::wstring::npos ? L"\"" + executable + L"\"" : executable;
    std::error_code ec;
    if (!def.Home.empty() && !std::filesystem::equivalent(def.Home, def.Executable.parent_path(), ec)) {
        line += L" --home " + QuotedArgument(def.Home.wstring());
    }
    return line;
}

// Writes the text value into an existing key under HKEY_LOCAL_MACHINE.
// A key that does not open is no failure: nothing is written then.
LSTATUS WriteExistingKeyText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WRITE, &opened) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    const LSTATUS status =
        ::RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(opened);
    return status;
}

// The event log source, so the entries of failures the log file cannot
// take are shown with their text. A failure here costs only that display.
void RegisterEventSource(const std::wstring& name) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kEventSourcesKey + name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const std::wstring file = kSystemLogMessageFile;
    ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                     static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
}

}  // namespace

TInstallOutcome InstallService(const TServiceDefinition& def) {
    TServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.Get() == nullptr) return Failed(::GetLastError());
    const std::wstring name = WideFromUtf8(def.Name);
    const std::wstring display = WideFromUtf8(def.DisplayName.empty() ? def.Name : def.DisplayName);
    const std::wstring command = CommandLine(def);
    // LocalSystem (no account, no password), no group, no dependencies.
    TServiceHandle service(::CreateServiceW(manager.Get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                            command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service.Get() == nullptr) return Failed(::GetLastError());
    const LSTATUS described =
        WriteExistingKeyText(kServicesKey + name, L"Description", WideFromUtf8(def.Description));
    if (described != ERROR_SUCCESS) {
        ::DeleteService(service.Get());
        return Failed(static_cast<DWORD>(described));
    }
    RegisterEventSource(name);
    return {true, {}};
}

TInstallOutcome UninstallService(const std::string& name) {
    TServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.Get() == nullptr) return Failed(::GetLastError());
    const std::wstring wideName = WideFromUtf8(name);
    TServiceHandle service(::OpenServiceW(manager.Get(), wideName.c_str(), SERVICE_ALL_ACCESS));
    if (service.Get() == nullptr) return Failed(::GetLastError());
    if (!::DeleteService(service.Get())) return Failed(::GetLastError());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kEventSourcesKey + wideName).c_str());
    return {true, {}};
}

}  // namespace kdv
