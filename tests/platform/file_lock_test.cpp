#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "platform/dira_error.h"
#include "support/expect_raises.h"
#include "support/temp_dir.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

// Asks in a child process whether the lock is free there: the child exits 0
// when it got the lock, 1 when not.
bool FreeForAnotherProcess(const std::filesystem::path& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            ::_exit(OpenFileLock(path)->TryLock() ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FileLock, OneHolderAtATime) {
    struct TCase {
        const char* Name;
        std::function<bool(const std::filesystem::path&)> FreeForOther;
    };
    const TCase cases[] = {
        {"another process", FreeForAnotherProcess},
        {"another lock object of this process",
         [](const std::filesystem::path& path) { return OpenFileLock(path)->TryLock(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        testing::TTempDir dir{"diravid-lock"};
        const auto path = dir / "diravid.lock";
        auto lock = OpenFileLock(path);
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_FALSE(lock->Locked());
        EXPECT_TRUE(c.FreeForOther(path));

        ASSERT_TRUE(lock->TryLock());
        EXPECT_TRUE(lock->TryLock()) << "a holder may ask again";
        EXPECT_TRUE(lock->Locked());
        EXPECT_FALSE(c.FreeForOther(path));
        EXPECT_EQ(OpenFileLock(path)->Holder(), std::to_string(::getpid()));

        lock->Unlock();
        EXPECT_FALSE(lock->Locked());
        EXPECT_TRUE(c.FreeForOther(path));

        // The lock ends with its object.
        ASSERT_TRUE(lock->TryLock());
        lock.reset();
        EXPECT_TRUE(c.FreeForOther(path));
    }
}

TEST(FileLock, FileThatCannotBeMadeIsNamed) {
    testing::TTempDir dir{"diravid-lock"};
    const auto path = dir / "fehlt" / "diravid.lock";
    const EDiraError e = ExpectRaises([&] { OpenFileLock(path); });
    EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
}

}  // namespace
}  // namespace kdv
