// What the Windows file twins must get right beyond the shared contracts:
// binding locks, share modes, and text files in the ANSI code page.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/ansi_code_page.h"
#include "platform/file_lock.h"
#include "platform/ini_file.h"
#include "platform/log_file_system.h"
#include "platform/path_text.h"
#include "platform/process_alive.h"
#include "platform/text_file_io.h"

namespace kdv {
namespace {

namespace fs = std::filesystem;

// A fresh folder with an umlaut and a blank in its name, removed afterwards.
class TFolder {
public:
    TFolder() {
        static int count = 0;
        path_ = fs::temp_directory_path() /
                PathFromUtf8("kdv Prüfung " + std::to_string(CurrentProcessId()) + "-" + std::to_string(++count));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / PathFromUtf8(name); }

private:
    fs::path path_;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Windows locks forbid reading the locked range; the holder's id must stay
// readable for the operator and for a second process that waits.
TEST(WindowsFileLock, HolderStaysReadableWhileLocked) {
    TFolder dir;
    auto holder = OpenFileLock(dir / "diravid.lock");
    auto waiter = OpenFileLock(dir / "diravid.lock");
    ASSERT_TRUE(holder->TryLock());
    EXPECT_FALSE(waiter->TryLock());
    EXPECT_EQ(waiter->Holder(), std::to_string(CurrentProcessId()));
    EXPECT_EQ(ReadAll(dir / "diravid.lock"), std::to_string(CurrentProcessId()) + "\r\n");
    holder->Unlock();
    EXPECT_TRUE(waiter->TryLock());
}

// An editor reads the log while it is written, and the rotation moves it
// away under the open handle, which then notices.
TEST(WindowsLogFile, ReadableWhileWrittenAndMovableWhileOpen) {
    TFolder dir;
    ILogFileSystem& files = SystemLogFileSystem();
    const fs::path log = dir.Path() / PathFromUtf8("Lagebericht Übersicht.log");
    auto handle = files.OpenAppend(log);
    handle->Write("Zeile 1\r\n");
    EXPECT_EQ(ReadAll(log), "Zeile 1\r\n");
    EXPECT_TRUE(handle->IsStillAt(log));

    std::ofstream(dir / "taken.log") << "alt";
    EXPECT_FALSE(files.MoveFileNoReplace(log, dir / "taken.log"));
    EXPECT_EQ(ReadAll(dir / "taken.log"), "alt");
    ASSERT_TRUE(files.MoveFileNoReplace(log, dir / "moved.log"));
    EXPECT_FALSE(handle->IsStillAt(log));
    handle->Write("Zeile 2\r\n");
    handle->Close();
    EXPECT_EQ(ReadAll(dir / "moved.log"), "Zeile 1\r\nZeile 2\r\n");
}

// A settings file saved by Notepad in the ANSI code page reads with its
// umlauts, and what the service writes into it stays in that code page; a
// file saved as UTF-8 without mark stays UTF-8.
TEST(WindowsIniFile, FileWithoutMarkKeepsItsEncoding) {
    if (SystemAnsiCodePage() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
    TFolder dir;
    const fs::path path = dir / "diravid.ini";
    struct TCase {
        const char* Name;
        std::string Stored;
        std::string Written;
    };
    const TCase cases[] = {
        {"ANSI", "[Pfade]\r\nLokal=D:\\Anlagen \xDC" "bersicht\r\n", "Lastendcheckmail=\xC4nderung"},
        {"UTF-8 without mark", "[Pfade]\r\nLokal=D:\\Anlagen \xC3\x9C" "bersicht\r\n",
         "Lastendcheckmail=\xC3\x84nderung"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.Stored;
        TIniFile ini(path);
        EXPECT_EQ(ini.ReadString("Pfade", "Lokal", ""), "D:\\Anlagen Übersicht");
        ini.WriteString("Debug", "Lastendcheckmail", "Änderung");
        const std::string bytes = ReadAll(path);
        EXPECT_EQ(bytes.substr(0, c.Stored.size()), c.Stored);
        EXPECT_NE(bytes.find(c.Written), std::string::npos);
        EXPECT_EQ(ini.ReadString("Debug", "Lastendcheckmail", ""), "Änderung");
    }
}

}  // namespace
}  // namespace kdv
#endif
