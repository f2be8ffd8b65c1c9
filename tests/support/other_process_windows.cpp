#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/windows_text.h"
#include "support/other_process.h"

namespace kdv::testing {

std::string EnvironmentText(const char* name) {
    const std::wstring wide_name = WideFromUtf8(name);
    const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
    value.resize(length);
    return Utf8FromWide(value);
}

namespace {

// This process's environment without any probe of its own, plus the two
// probe variables; a block of "name=value" strings ended by an empty one.
std::wstring ProbeEnvironment(const char* name, const std::string& argument) {
    std::wstring block;
    wchar_t* current = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = current; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (std::wstring_view(entry).starts_with(L"DIRAVID_TEST_PROBE")) continue;
        block.append(entry);
        block.push_back(L'\0');
    }
    if (current != nullptr) ::FreeEnvironmentStringsW(current);
    block += L"DIRAVID_TEST_PROBE=" + WideFromUtf8(name);
    block.push_back(L'\0');
    block += L"DIRAVID_TEST_PROBE_ARGUMENT=" + WideFromUtf8(argument);
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

}  // namespace

TProbeProcess::TProbeProcess(const char* name, const std::string& argument) {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    std::wstring command_line = L"\"" + self + L"\"";
    std::wstring environment = ProbeEnvironment(name, argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(self.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          environment.data(), nullptr, &startup, &process)) {
        throw std::runtime_error("the test program could not be started again: error " +
                                 std::to_string(::GetLastError()));
    }
    ::CloseHandle(process.hThread);
    handle_ = process.hProcess;
    id_ = process.dwProcessId;
}

TProbeProcess::~TProbeProcess() {
    if (!ended_) {
        ::TerminateProcess(handle_, 1);
        Wait();
    }
    ::CloseHandle(handle_);
}

int TProbeProcess::Wait() {
    if (ended_) return exit_code_;
    ::WaitForSingleObject(handle_, INFINITE);
    DWORD code = 0;
    ended_ = true;
    exit_code_ = ::GetExitCodeProcess(handle_, &code) ? static_cast<int>(code) : -1;
    return exit_code_;
}

}  // namespace kdv::testing
