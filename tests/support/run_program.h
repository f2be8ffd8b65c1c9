#pragma once
// Runs a program of the build as a child process and collects what it says.
#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Windows knows no SIGKILL; Signal takes the Linux number there as well.
#ifndef SIGKILL
#define SIGKILL 9
#endif

namespace kdv::testing {

// What the program wrote, with lines ended by LF alone (a Windows program's
// text mode writes CR LF).
struct TProgramResult {
    int ExitCode = -1;  // -1 when it did not exit normally
    std::string Stdout;
    std::string Stderr;
};

// `env` entries are set in the child on top of the test's own environment;
// an entry with an empty value removes that variable.
TProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {});

// A program started by StartProgram that has not been waited for yet.
class TRunningProgram {
public:
    // `process`: the pid on Linux, the process handle on Windows (0: a
    // program of the host that has already ended with `exitCode`).
    TRunningProgram(int pid, std::intptr_t process, std::string outName, std::string errName, int exitCode = -1);
    ~TRunningProgram();  // kills and reaps it when Finish was not called
    TRunningProgram(const TRunningProgram&) = delete;
    TRunningProgram& operator=(const TRunningProgram&) = delete;

    int Pid() const { return pid_; }
    // SIGKILL ends it at once. On Windows every other signal is a
    // Ctrl-Break to the program's process group, which needs a console the
    // test shares with it (Wine gives a test under CTest none).
    void Signal(int signal);
    // Waits for its end and collects what it said.
    TProgramResult Finish();

private:
    int pid_;
    std::intptr_t process_;
    std::string outName_;
    std::string errName_;
    int exitCode_;
    bool finished_ = false;
    bool killed_ = false;
};

// Starts the program as RunProgram does, without waiting for it. Under Wine
// a program of the host (a sandbox script, curl) runs through the host's
// shell and has ended when this returns.
std::unique_ptr<TRunningProgram> StartProgram(const std::string& program, const std::vector<std::string>& args,
                                              const std::map<std::string, std::string>& env = {});

}  // namespace kdv::testing
