#pragma once
// A second process for tests about what two processes see (locks, process
// ids): this test program started once more, doing nothing but one probe
// named in its environment. It needs no fork, so it works on every system.
#include <cstdint>
#include <string>

namespace kdv::testing {

// What the other process does; its result is that process's exit code.
using TProbeBody = int (*)(const std::string& argument);

// Defined at namespace scope in a test source. When this program was started
// for the probe of that name, the constructor runs it at once and ends the
// process with its result, before any test begins.
class TProbe {
public:
    TProbe(const char* name, TProbeBody body);
};

// This program started for a probe; killed and waited for with the object
// when it still runs.
class TProbeProcess {
public:
    TProbeProcess(const char* name, const std::string& argument = {});
    ~TProbeProcess();
    TProbeProcess(const TProbeProcess&) = delete;
    TProbeProcess& operator=(const TProbeProcess&) = delete;

    std::int64_t Id() const { return id_; }
    // Waits for its end; its exit code (-1 when it did not exit normally).
    int Wait();

private:
    std::int64_t id_ = 0;
    void* handle_ = nullptr;  // the process handle where the system has one
    bool ended_ = false;
    int exit_code_ = -1;
};

// Runs the probe in another process and returns its exit code.
int RunProbe(const char* name, const std::string& argument = {});

// The id of a process that has ended and been waited for, so the system
// holds nothing of it any more.
std::int64_t EndedProcessId();

// Another process that stays idle until the object ends.
class TIdleProcess {
public:
    TIdleProcess();
    std::int64_t Id() const { return process_.Id(); }

private:
    TProbeProcess process_;
};

// Per system: the variable's value as UTF-8, empty when unset.
std::string EnvironmentText(const char* name);

}  // namespace kdv::testing
