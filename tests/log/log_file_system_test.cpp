#include "platform/log_file_system.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#endif

#include "log_test_support.h"

#include "platform/path_text.h"
#include "support/expect_raises.h"
#include "support/wine_check.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

using kdv::testing::ReadFile;
using kdv::testing::TTempFolder;
using kdv::testing::WriteFile;

ILogFileSystem& Files() { return SystemLogFileSystem(); }

TEST(LogFileSystem, ForceDirectoriesCreatesParentsAndRefusesAFileInTheWay) {
    TTempFolder dir;
    WriteFile(dir / "datei", "x");
    EXPECT_TRUE(Files().ForceDirectories(""));
    EXPECT_TRUE(Files().ForceDirectories(dir / "a" / "b" / "c"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "b" / "c"));
    EXPECT_TRUE(Files().ForceDirectories(dir / "a"));  // already there
    EXPECT_FALSE(Files().ForceDirectories(dir / "datei"));
    EXPECT_FALSE(Files().ForceDirectories(dir / "datei" / "unter"));
}

TEST(LogFileSystem, OpenAppendKeepsContentAndNamesTheFileInItsError) {
    TTempFolder dir;
    WriteFile(dir / "x.log", "alt\r\n");
    {
        auto handle = Files().OpenAppend(dir / "x.log");
        handle->Write("neu\r\n");
        handle->Flush();
        EXPECT_EQ(ReadFile(dir / "x.log"), "alt\r\nneu\r\n");  // visible before the close
        handle->Close();
        handle->Close();  // a second close is harmless
        EXPECT_THROW(handle->Write("zu spät"), EDiraError);
    }
    const EDiraError e = ExpectRaises([&] { Files().OpenAppend(dir / "fehlt" / "x.log"); });
    EXPECT_NE(std::string(e.what()).find(PathToUtf8(std::filesystem::path("fehlt") / "x.log")), std::string::npos) << e.what();
}

TEST(LogFileSystem, MoveNeverOverwritesNorLeavesHalfAMove) {
    TTempFolder dir;
    std::unique_ptr<TTempFolder> other;  // a second volume, when the machine has one
    if (std::filesystem::is_directory("/dev/shm")) other = std::make_unique<TTempFolder>("diravid-log", "/dev/shm");
    struct TMoveCase {
        std::string what;
        std::filesystem::path from, to;
        bool createSource, createTarget, moved;
    };
    const TMoveCase cases[] = {
        {"same folder", dir / "a.log", dir / "a.lastlog", true, false, true},
        {"target taken", dir / "b.log", dir / "b.lastlog", true, true, false},
        {"source missing", dir / "c.log", dir / "c.lastlog", false, false, false},
        {"target folder missing", dir / "d.log", dir / "nein" / "d.lastlog", true, false, false},
    };
    auto check = [](const TMoveCase& c) {
        SCOPED_TRACE(c.what);
        if (c.createSource) WriteFile(c.from, "quelle");
        if (c.createTarget) WriteFile(c.to, "ziel");
        EXPECT_EQ(Files().MoveFileNoReplace(c.from, c.to), c.moved);
        if (c.moved) {
            EXPECT_FALSE(std::filesystem::exists(c.from));
            EXPECT_EQ(ReadFile(c.to), "quelle");
        } else {
            EXPECT_EQ(std::filesystem::exists(c.from), c.createSource);
            EXPECT_EQ(std::filesystem::exists(c.to), c.createTarget);
            if (c.createTarget) {
                EXPECT_EQ(ReadFile(c.to), "ziel");
            }
        }
    };
    for (const auto& c : cases) check(c);
    if (!other) GTEST_SKIP() << "no second volume at /dev/shm";
    const TMoveCase across[] = {
        {"across volumes", dir / "e.log", *other / "e.lastlog", true, false, true},
        {"across volumes, target taken", dir / "f.log", *other / "f.lastlog", true, true, false},
    };
    for (const auto& c : across) check(c);
}

TEST(LogFileSystem, IsStillAtNoticesARemovedOrReplacedFile) {
    TTempFolder dir;
    const auto path = dir / "x.log";
    auto handle = Files().OpenAppend(path);
    EXPECT_TRUE(handle->IsStillAt(path));
    EXPECT_FALSE(handle->IsStillAt(dir / "anders.log"));
    std::filesystem::rename(path, dir / "weg.log");
    WriteFile(path, "");
    EXPECT_FALSE(handle->IsStillAt(path));
    EXPECT_TRUE(handle->IsStillAt(dir / "weg.log"));
    std::filesystem::remove(dir / "weg.log");
    // Wine neither frees the name of a removed file that is still open nor
    // marks it as pending removal; Windows does one or the other.
    if (!testing::RunsUnderWine()) {
        EXPECT_FALSE(handle->IsStillAt(dir / "weg.log"));
    }
}

// A write that fills the disk halfway must not leave a line fragment behind.
// The size limit of a child process stands in for the full disk.
TEST(LogFileSystem, AFailedWriteLeavesNoFragment) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit that could stand in for a full disk";
#else
    TTempFolder dir;
    const auto path = dir / "x.log";
    const std::string first = "eins\r\n";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        int code = 1;
        try {
            auto handle = Files().OpenAppend(path);
            handle->Write(first);
            const rlimit limit{first.size() + 4, RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            try {
                handle->Write("eine viel zu lange Zeile\r\n");
            } catch (const EDiraError&) {
                code = 0;  // the failure must be reported
            }
        } catch (...) {
            code = 2;
        }
        std::_Exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), first);
#endif
}

}  // namespace
}  // namespace kdv
