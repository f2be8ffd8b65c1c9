#include "platform/file_lock.h"

#include <windows.h>

#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

// Room for a process id and a line break.
constexpr DWORD kHolderBytes = 32;

// Windows locks are binding: a locked range can be neither read nor written
// through another handle. The lock therefore sits on one byte far past the
// content, so that every process can still read who holds it.
constexpr DWORD kLockOffsetHigh = 0x40000000;

class TWindowsFileLock final : public IFileLock {
public:
    explicit TWindowsFileLock(const std::filesystem::path& Path) {
        // A lock belongs to its handle, so two objects of one process
        // exclude each other as two processes do.
        handle_ = ::CreateFileW(Path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            throw EDiraError(TErrorKind::ekLocal, "Sperrdatei " + PathToUtf8(Path) + " kann nicht geöffnet werden: " +
                                                      WindowsErrorText(::GetLastError()));
        }
    }
    ~TWindowsFileLock() override {
        Unlock();
        ::CloseHandle(handle_);
    }

    bool TryLock() override {
        if (locked_) return true;
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        if (!::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
            throw EDiraError(TErrorKind::ekLocal, "Sperre kann nicht gesetzt werden: " + WindowsErrorText(error));
        }
        locked_ = true;
        // Only a help for the operator: who holds the lock.
        const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
        LARGE_INTEGER start{};
        if (::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_)) {
            DWORD written = 0;
            ::WriteFile(handle_, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
        }
        return true;
    }

    void Unlock() override {
        if (!locked_) return;
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        ::UnlockFileEx(handle_, 0, 1, 0, &at);
        locked_ = false;
    }

    bool Locked() const override { return locked_; }

    std::string Holder() const override {
        char buffer[kHolderBytes] = {};
        OVERLAPPED at{};
        DWORD got = 0;
        if (!::ReadFile(handle_, buffer, kHolderBytes - 1, &got, &at) || got == 0) return {};
        std::string text(buffer, got);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool locked_ = false;
};

}  // namespace

std::unique_ptr<IFileLock> OpenFileLock(const std::filesystem::path& Path) {
    return std::make_unique<TWindowsFileLock>(Path);
}

}  // namespace kdv
