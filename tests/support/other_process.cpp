#include "support/other_process.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace kdv::testing {
namespace {

// The longest an idle probe waits for its kill; a test that never gets to
// kill it must not leave it behind for ever.
constexpr auto kIdleLimit = std::chrono::minutes(10);

const TProbe kEnded("ended", [](const std::string&) { return 0; });
const TProbe kIdle("idle", [](const std::string&) {
    std::this_thread::sleep_for(kIdleLimit);
    return 0;
});

}  // namespace

TProbe::TProbe(const char* name, TProbeBody body) {
    if (EnvironmentText("DIRAVID_TEST_PROBE") != name) return;
    int code = 3;
    try {
        code = body(EnvironmentText("DIRAVID_TEST_PROBE_ARGUMENT"));
    } catch (...) {
        code = 2;
    }
    std::_Exit(code);
}

int RunProbe(const char* name, const std::string& argument) { return TProbeProcess(name, argument).Wait(); }

std::int64_t EndedProcessId() {
    TProbeProcess process("ended");
    process.Wait();
    return process.Id();
}

TIdleProcess::TIdleProcess() : process_("idle") {}

}  // namespace kdv::testing
