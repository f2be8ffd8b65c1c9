#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/windows_text.h"
#include "support/run_program.h"
#include "support/test_files.h"
#include "support/test_shell.h"

namespace kdv::testing {
namespace {

// One word of a command line as the program's own argument parsing splits
// it again: quotes around words with blanks, backslashes doubled only in
// front of a quote.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(*it);
    }
    return out + L"\"";
}

std::wstring Upper(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The test's own environment with `changes` on top, as the block
// CreateProcessW takes: sorted by name without regard to case, as the system
// keeps it. Names starting with "=" (the current folder per drive) stay.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& changes) {
    std::map<std::wstring, std::wstring> entries;  // upper-case name -> "name=value"
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring text(entry);
        const auto eq = text.find(L'=', 1);
        entries[Upper(text.substr(0, eq))] = text;
    }
    ::FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : changes) {
        const std::wstring wide_name = WideFromUtf8(name);
        if (value.empty()) {
            entries.erase(Upper(wide_name));
        } else {
            entries[Upper(wide_name)] = wide_name + L"=" + WideFromUtf8(value);
        }
    }
    std::wstring block;
    for (const auto& [key, entry] : entries) block += entry + L'\0';
    return block + L'\0';
}

// A file the child writes to, inherited by it.
HANDLE InheritedFile(const std::wstring& name, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE file = ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + Utf8FromWide(name));
    return file;
}

std::wstring NewTempFile(const wchar_t* prefix) {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (::GetTempPathW(MAX_PATH + 1, folder) == 0 || ::GetTempFileNameW(folder, prefix, 0, name) == 0) {
        throw std::runtime_error("no temporary file for a program's output");
    }
    return name;
}

HANDLE Handle(std::intptr_t process) { return reinterpret_cast<HANDLE>(process); }

// A Windows program's standard output in text mode ends its lines with
// CR LF; the tests compare the text as the Linux program writes it.
std::string LinesEndedByLf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

// Whether `program` is a Windows program (its file starts with "MZ") rather
// than one of the host's.
bool IsWindowsProgram(const std::wstring& program) {
    std::ifstream file{std::filesystem::path(program), std::ios::binary};
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

// The host's program through its shell, to its end: Wine cannot wait for a
// Unix process it started.
int RunHostProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::wstring& out_name,
                   const std::wstring& err_name) {
    std::string command;
    for (const auto& [name, value] : env) {
        command += value.empty() ? "unset " + name + "; " : "export " + name + "=" + ShellQuote(value) + "; ";
    }
    command += ShellQuote(program);
    for (const auto& argument : args) command += " " + ShellQuote(argument);
    command += " >" + ShellQuote(ShellPath(std::filesystem::path(out_name))) + " 2>" +
               ShellQuote(ShellPath(std::filesystem::path(err_name)));
    std::string ignored;
    return RunShellCommand(command, "", ignored);
}

}  // namespace

TRunningProgram::TRunningProgram(int pid, std::intptr_t process, std::string outName, std::string errName,
                                 int exitCode)
    : pid_(pid), process_(process), outName_(std::move(outName)), errName_(std::move(errName)), exitCode_(exitCode) {}

TRunningProgram::~TRunningProgram() {
    if (!finished_) {
        Signal(SIGKILL);
        Finish();
    }
}

void TRunningProgram::Signal(int signal) {
    if (process_ == 0) return;  // a host program has ended already
    if (signal == SIGKILL) {
        killed_ = ::TerminateProcess(Handle(process_), 1) != 0;
        return;
    }
    // The program has a process group of its own on the test's console.
    ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_));
}

TProgramResult TRunningProgram::Finish() {
    TProgramResult result;
    if (process_ == 0) {
        result.ExitCode = exitCode_;
    } else {
        ::WaitForSingleObject(Handle(process_), INFINITE);
        DWORD code = 0;
        // As on Linux: a program ended by SIGKILL has no exit code.
        if (::GetExitCodeProcess(Handle(process_), &code) && !killed_) result.ExitCode = static_cast<int>(code);
        ::CloseHandle(Handle(process_));
    }
    finished_ = true;
    const std::filesystem::path out(WideFromUtf8(outName_));
    const std::filesystem::path err(WideFromUtf8(errName_));
    result.Stdout = LinesEndedByLf(ReadFile(out));
    result.Stderr = LinesEndedByLf(ReadFile(err));
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    std::filesystem::remove(err, ignored);
    return result;
}

std::unique_ptr<TRunningProgram> StartProgram(const std::string& program, const std::vector<std::string>& args,
                                              const std::map<std::string, std::string>& env) {
    const std::wstring out_name = NewTempFile(L"dvo");
    const std::wstring err_name = NewTempFile(L"dve");
    const std::wstring path = WideFromUtf8(program);
    if (!IsWindowsProgram(path)) {
        const int status = RunHostProgram(program, args, env, out_name, err_name);
        return std::make_unique<TRunningProgram>(0, 0, Utf8FromWide(out_name), Utf8FromWide(err_name),
                                                 status == 128 ? -1 : status);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritedFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = InheritedFile(out_name, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = InheritedFile(err_name, GENERIC_WRITE, CREATE_ALWAYS);
    std::wstring command_line = QuoteArgument(path);
    for (const auto& argument : args) command_line += L" " + QuoteArgument(WideFromUtf8(argument));
    std::wstring environment = EnvironmentBlock(env);
    PROCESS_INFORMATION process{};
    // A process group of its own, so a Ctrl-Break (Signal) reaches it alone.
    // No console of its own: under Wine such consoles outlive the program
    // and keep the test's output open.
    const BOOL started = ::CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                          CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, environment.data(),
                                          nullptr, &startup, &process);
    const DWORD error = ::GetLastError();
    ::CloseHandle(startup.hStdInput);
    ::CloseHandle(startup.hStdOutput);
    ::CloseHandle(startup.hStdError);
    if (!started) {
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::path(out_name), ignored);
        std::filesystem::remove(std::filesystem::path(err_name), ignored);
        throw std::runtime_error("cannot start " + program + ": " + WindowsErrorText(error));
    }
    ::CloseHandle(process.hThread);
    return std::make_unique<TRunningProgram>(static_cast<int>(process.dwProcessId),
                                             reinterpret_cast<std::intptr_t>(process.hProcess),
                                             Utf8FromWide(out_name), Utf8FromWide(err_name));
}

}  // namespace kdv::testing
