#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "support/run_program.h"
#include "support/test_files.h"

namespace kdv::testing {

TRunningProgram::TRunningProgram(int pid, std::intptr_t process, std::string outName, std::string errName,
                                 int exitCode)
    : pid_(pid), process_(process), outName_(std::move(outName)), errName_(std::move(errName)), exitCode_(exitCode) {}

TRunningProgram::~TRunningProgram() {
    if (!finished_) {
        ::kill(pid_, SIGKILL);
        Finish();
    }
}

void TRunningProgram::Signal(int signal) { ::kill(pid_, signal); }

TProgramResult TRunningProgram::Finish() {
    TProgramResult result;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    finished_ = true;
    if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
    result.Stdout = ReadFile(outName_);
    result.Stderr = ReadFile(errName_);
    ::unlink(outName_.c_str());
    ::unlink(errName_.c_str());
    return result;
}

std::unique_ptr<TRunningProgram> StartProgram(const std::string& program, const std::vector<std::string>& args,
                                              const std::map<std::string, std::string>& env) {
    char outName[] = "/tmp/diravid-out.XXXXXX";
    char errName[] = "/tmp/diravid-err.XXXXXX";
    const int out = ::mkstemp(outName);
    const int err = ::mkstemp(errName);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [k, v] : env) {
            if (v.empty())
                ::unsetenv(k.c_str());
            else
                ::setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    return std::make_unique<TRunningProgram>(pid, pid, outName, errName);
}

}  // namespace kdv::testing
