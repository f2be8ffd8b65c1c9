#include "platform/process_alive.h"

#include <gtest/gtest.h>

#include "support/other_process.h"
#include "support/wine_check.h"

namespace kdv {
namespace {

// A process of another user that always runs: the first process on Linux,
// the kernel's "System" process on Windows.
#ifdef _WIN32
constexpr std::int64_t kSystemProcess = 4;
#else
constexpr std::int64_t kSystemProcess = 1;
#endif

TEST(ProcessAlive, TellsRunningFromEndedProcesses) {
    struct TCase {
        const char* name;
        std::int64_t pid;
        bool alive;
    };
    const testing::TIdleProcess other;
    const TCase cases[] = {
        {"this process", CurrentProcessId(), true},
        {"another process of this user", other.Id(), true},
        {"a process of another user", kSystemProcess, true},
        {"an ended process", testing::EndedProcessId(), false},
        {"no id", 0, false},
        {"a negative id", -5, false},
        {"an id beyond any process", std::int64_t{1} << 40, false},
    };
    for (const auto& c : cases) {
        // Wine runs every process as the one user and has no "System"
        // process to show this with.
        if (c.pid == kSystemProcess && testing::RunsUnderWine()) continue;
        EXPECT_EQ(IsProcessAlive(c.pid), c.alive) << c.name;
    }
}

}  // namespace
}  // namespace kdv
