#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "support/other_process.h"

extern char** environ;

namespace kdv::testing {

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

TProbeProcess::TProbeProcess(const char* name, const std::string& argument) {
    // The child's environment is built here, not changed in this process:
    // other threads may read it meanwhile.
    const std::string probe = std::string("DIRAVID_TEST_PROBE=") + name;
    const std::string probe_argument = "DIRAVID_TEST_PROBE_ARGUMENT=" + argument;
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).starts_with("DIRAVID_TEST_PROBE")) continue;
        environment.push_back(*entry);
    }
    environment.push_back(const_cast<char*>(probe.c_str()));
    environment.push_back(const_cast<char*>(probe_argument.c_str()));
    environment.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* arguments[] = {self, nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, self, nullptr, nullptr, arguments, environment.data());
    if (error != 0) throw std::runtime_error("the test program could not be started again: errno " + std::to_string(error));
    id_ = pid;
}

TProbeProcess::~TProbeProcess() {
    if (ended_) return;
    ::kill(static_cast<pid_t>(id_), SIGKILL);
    Wait();
}

int TProbeProcess::Wait() {
    if (ended_) return exit_code_;
    int status = 0;
    while (::waitpid(static_cast<pid_t>(id_), &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_code_;
}

}  // namespace kdv::testing
