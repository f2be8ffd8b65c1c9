#include "support/run_program.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kdv::testing {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::string ReadFileBytes(const std::string& path) { return Slurp(path); }

TProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
    char outName[] = "/tmp/diravid-out.XXXXXX";
    char errName[] = "/tmp/diravid-err.XXXXXX";
    const int out = ::mkstemp(outName);
    const int err = ::mkstemp(errName);
    TProgramResult result;
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
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
    ::close(out);
    ::close(err);
    result.Stdout = Slurp(outName);
    result.Stderr = Slurp(errName);
    ::unlink(outName);
    ::unlink(errName);
    return result;
}

}  // namespace kdv::testing
