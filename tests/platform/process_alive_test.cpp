#include "platform/process_alive.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace kdv {
namespace {

// The id of a process that has ended (reaped, so the id is free again).
std::int64_t EndedProcessId() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

TEST(ProcessAlive, TellsRunningFromEndedProcesses) {
    struct TCase {
        const char* name;
        std::int64_t pid;
        bool alive;
    };
    const TCase cases[] = {
        {"this process", CurrentProcessId(), true},
        {"its parent", static_cast<std::int64_t>(getppid()), true},
        {"the first process, of another user", 1, true},
        {"an ended process", EndedProcessId(), false},
        {"no id", 0, false},
        {"a negative id", -5, false},
        {"an id beyond any process", std::int64_t{1} << 40, false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsProcessAlive(c.pid), c.alive) << c.name;
}

}  // namespace
}  // namespace kdv
