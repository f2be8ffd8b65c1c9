#include <windows.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "platform/dira_error.h"
#include "platform/log_file_system.h"
#include "platform/path_text.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

[[noreturn]] void RaiseSystemError(DWORD err, const std::filesystem::path& path) {
    throw EDiraError(TErrorKind::ekLocal, WindowsErrorText(err) + " (" + PathToUtf8(path) + ")");
}

[[noreturn]] void RaiseSystemError(DWORD err) { throw EDiraError(TErrorKind::ekLocal, WindowsErrorText(err)); }

// An operator reads the log in an editor while it is written, and a removal
// or rename of the file must not be refused because the service holds it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Volume and file number: the identity of a file behind its names.
struct TFileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const TFileIdentity&) const = default;
};

bool IdentityOf(HANDLE file, TFileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

class TWindowsLogFileHandle final : public ILogFileHandle {
public:
    explicit TWindowsLogFileHandle(HANDLE file) : file_(file) {}
    ~TWindowsLogFileHandle() override {
        if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    }
    TWindowsLogFileHandle(const TWindowsLogFileHandle&) = delete;
    TWindowsLogFileHandle& operator=(const TWindowsLogFileHandle&) = delete;

    void Write(std::string_view bytes) override {
        if (file_ == INVALID_HANDLE_VALUE) RaiseSystemError(ERROR_INVALID_HANDLE);
        LARGE_INTEGER before{};
        const LARGE_INTEGER zero{};
        // Appending: another writer (an editor saving) may have moved the end.
        const bool knowEnd = ::SetFilePointerEx(file_, zero, &before, FILE_END) != 0;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD written = 0;
            const BOOL ok = ::WriteFile(file_, bytes.data() + done, chunk, &written, nullptr);
            if (ok && written > 0) {
                done += written;
                continue;
            }
            const DWORD err = ok ? ERROR_DISK_FULL : ::GetLastError();
            // Cut a partial line off again, so the next line starts on its own.
            if (done > 0 && knowEnd && ::SetFilePointerEx(file_, before, nullptr, FILE_BEGIN)) ::SetEndOfFile(file_);
            RaiseSystemError(err);
        }
    }

    // WriteFile hands every byte to the system at once; nothing is held back here.
    void Flush() override {
        if (file_ == INVALID_HANDLE_VALUE) RaiseSystemError(ERROR_INVALID_HANDLE);
    }

    void Close() override {
        if (file_ == INVALID_HANDLE_VALUE) return;
        HANDLE file = file_;
        file_ = INVALID_HANDLE_VALUE;
        if (!::CloseHandle(file)) RaiseSystemError(::GetLastError());
    }

    bool IsStillAt(const std::filesystem::path& path) const override {
        if (removed_) return false;
        FILE_STANDARD_INFO standard{};
        if (file_ == INVALID_HANDLE_VALUE ||
            !::GetFileInformationByHandleEx(file_, FileStandardInfo, &standard, sizeof standard)) {
            return true;  // cannot tell: keep writing
        }
        if (standard.DeletePending) {
            // Removed without POSIX semantics (older Windows, some network
            // shares): the name stays taken, and a new file cannot be made
            // under it, until the last handle is closed. Letting go of it
            // here frees the name for the log's next open.
            ::CloseHandle(file_);
            file_ = INVALID_HANDLE_VALUE;
            removed_ = true;
            return false;
        }
        TFileIdentity open;
        if (!IdentityOf(file_, open)) return true;
        HANDLE named = ::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr);
        if (named == INVALID_HANDLE_VALUE) {
            // Only a missing name is a removal; a passing error must not lose lines.
            const DWORD err = ::GetLastError();
            return err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND;
        }
        TFileIdentity current;
        const bool known = IdentityOf(named, current);
        ::CloseHandle(named);
        return !known || open == current;
    }

private:
    // Changed by IsStillAt only, when it lets go of a removed file.
    mutable HANDLE file_;
    mutable bool removed_ = false;
};

// Copies `from` into a new file `to`; false (and no `to`) when anything fails.
bool CopyToNewFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::CopyFileW(from.c_str(), to.c_str(), TRUE)) return true;
    // A copy that failed half-way may have left its target.
    if (::GetLastError() != ERROR_FILE_EXISTS) ::DeleteFileW(to.c_str());
    return false;
}

bool CopyThenRemove(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!CopyToNewFile(from, to)) return false;
    if (::DeleteFileW(from.c_str())) return true;
    // The source stays, so the copy must go: a move is all or nothing.
    ::DeleteFileW(to.c_str());
    return false;
}

class TWindowsLogFileSystem final : public ILogFileSystem {
public:
    bool FileExists(const std::filesystem::path& path) override {
        // The attributes of a link itself: a dangling link counts.
        return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    bool ForceDirectories(const std::filesystem::path& folder) override {
        if (folder.empty()) return true;
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        return std::filesystem::is_directory(folder, ec);
    }

    std::unique_ptr<ILogFileHandle> OpenAppend(const std::filesystem::path& path) override {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) RaiseSystemError(::GetLastError(), path);
        return std::make_unique<TWindowsLogFileHandle>(file);
    }

    bool MoveFileNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) override {
        if (from.empty() || to.empty()) return false;
        // Without MOVEFILE_REPLACE_EXISTING an existing target is refused.
        // MOVEFILE_COPY_ALLOWED is not used: it reports success when the
        // source cannot be removed after the copy, leaving two files.
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        if (::GetLastError() != ERROR_NOT_SAME_DEVICE) return false;
        if (FileExists(to)) return false;
        return CopyThenRemove(from, to);
    }
};

}  // namespace

ILogFileSystem& SystemLogFileSystem() {
    static TWindowsLogFileSystem files;
    return files;
}

}  // namespace kdv
