#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/process_alive.h"
#include "support/expect_raises.h"
#include "support/other_process.h"
#include "support/temp_dir.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

// Another process asks whether the lock is free there: it exits 0 when it
// got the lock, 1 when not (2 when opening the lock failed).
const testing::TProbe kTryLock("try-lock", [](const std::string& path) {
    return OpenFileLock(PathFromUtf8(path))->TryLock() ? 0 : 1;
});

bool FreeForAnotherProcess(const std::filesystem::path& path) {
    const int code = testing::RunProbe("try-lock", PathToUtf8(path));
    EXPECT_TRUE(code == 0 || code == 1) << code;
    return code == 0;
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
        EXPECT_EQ(OpenFileLock(path)->Holder(), std::to_string(CurrentProcessId()));

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
    EXPECT_NE(std::string(e.what()).find(PathToUtf8(path)), std::string::npos) << e.what();
}

}  // namespace
}  // namespace kdv
