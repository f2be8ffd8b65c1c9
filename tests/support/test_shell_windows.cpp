#include "support/test_shell.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/test_files.h"

namespace kdv::testing {
namespace {

// Wine's own exports of kernel32 that map its drives to the host's paths
// and back; a real Windows has neither, and no host shell either.
using TUnixFileName = char*(CDECL*)(const wchar_t*);
using TDosFileName = wchar_t*(CDECL*)(const char*);

template <typename T>
T WineExport(const char* name) {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto function = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(kernel32, name)));
    if (function == nullptr) throw std::runtime_error("the host's shell is only there under Wine");
    return function;
}

std::filesystem::path DosPath(const char* unix_path) {
    wchar_t* dos = WineExport<TDosFileName>("wine_get_dos_file_name")(unix_path);
    if (dos == nullptr) throw std::runtime_error(std::string("no Windows path for ") + unix_path);
    std::filesystem::path path(dos);
    ::HeapFree(::GetProcessHeap(), 0, dos);
    return path;
}

// A Unix program started through CreateProcess is no Windows process one
// can wait for: the script leaves its exit status in a file, written under
// another name and then renamed, so it is never read half-written.
int RunScript(const std::filesystem::path& folder) {
    const std::filesystem::path shell = DosPath("/bin/sh");
    std::wstring command_line = L"/bin/sh \"" + std::filesystem::path(ShellPath(folder / "script")).wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(shell.wstring().c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return -1;
    }
    if (process.hThread != nullptr) ::CloseHandle(process.hThread);
    if (process.hProcess != nullptr) ::CloseHandle(process.hProcess);
    // Generous: a sandbox's start waits for its servers itself.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    const auto status_file = folder / "status";
    while (!std::filesystem::exists(status_file)) {
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string status = ReadFile(status_file);
    try {
        return std::stoi(status);
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace

int RunShellCommand(const std::string& command, const std::string& input, std::string& output) {
    static std::atomic<unsigned> counter{0};
    const auto folder = SandboxParentFolder() / ("diravid-shell-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                                 std::to_string(counter++));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "in", std::ios::binary) << input;
    const std::string here = ShellPath(folder);
    std::ofstream(folder / "script", std::ios::binary)
        << "( " << command << "\n) <" << ShellQuote(here + "/in") << " >" << ShellQuote(here + "/out") << "\n"
        << "echo $? >" << ShellQuote(here + "/status.part") << " && mv " << ShellQuote(here + "/status.part") << " "
        << ShellQuote(here + "/status") << "\n";
    const int status = RunScript(folder);
    output = ReadFile(folder / "out");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}

std::string ShellPath(const std::filesystem::path& path) {
    const std::string generic = path.generic_string();
    if (!generic.empty() && generic.front() == '/') return generic;
    char* unix_path = WineExport<TUnixFileName>("wine_get_unix_file_name")(std::filesystem::absolute(path).c_str());
    if (unix_path == nullptr) throw std::runtime_error("no host path for " + path.string());
    std::string out(unix_path);
    ::HeapFree(::GetProcessHeap(), 0, unix_path);
    return out;
}

std::filesystem::path SandboxParentFolder() {
    static const std::filesystem::path folder = DosPath("/tmp");
    return folder;
}

}  // namespace kdv::testing
