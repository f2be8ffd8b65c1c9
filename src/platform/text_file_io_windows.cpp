#include "platform/text_file_io.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/windows_text.h"

namespace kdv {

namespace {

// An operator's editor may hold the file open; reading must not be refused
// for that, nor keep the editor from saving.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A fresh name for the file written beside the target before the rename.
std::filesystem::path TemporarySibling(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path name = target;
    name += "." + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    return name;
}

// Name collisions with a stray file of an earlier process are skipped; past
// this many the folder is in a state no retry will mend.
constexpr int kMaxTemporaryNameAttempts = 100;

// The file the name stands for: a symbolic link is followed, so the link
// stays and its target is replaced.
std::error_code ResolveTarget(const std::filesystem::path& fileName, std::filesystem::path& target) {
    std::error_code ec;
    target = fileName;
    if (std::filesystem::is_symlink(fileName, ec)) {
        target = std::filesystem::weakly_canonical(fileName, ec);
        if (ec) return ec;
    }
    return {};
}

class THandle {
public:
    explicit THandle(HANDLE handle) : handle_(handle) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    HANDLE Get() const { return handle_; }
    // Closes now so that a failing close (delayed write error) is seen.
    bool Close() {
        const bool closed = ::CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

std::error_code WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return LastWindowsError();
        if (written == 0) return WindowsErrorCode(ERROR_DISK_FULL);
        bytes.remove_prefix(written);
    }
    return {};
}

}  // namespace

std::error_code ReadWholeFile(const std::filesystem::path& fileName, std::uintmax_t maxBytes,
                              std::string& bytes) {
    bytes.clear();
    const DWORD attributes = ::GetFileAttributesW(fileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastWindowsError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::is_a_directory);
    THandle file(::CreateFileW(fileName.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) return LastWindowsError();
    // A device or a pipe in the file's place would block the reader.
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) return std::make_error_code(std::errc::invalid_argument);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) return LastWindowsError();
    if (static_cast<std::uintmax_t>(size.QuadPart) > maxBytes) return std::make_error_code(std::errc::file_too_large);
    std::string content;
    content.reserve(static_cast<std::size_t>(size.QuadPart));
    char buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return LastWindowsError();
        if (got == 0) break;
        content.append(buffer, got);
        // The file may grow while it is read.
        if (content.size() > maxBytes) return std::make_error_code(std::errc::file_too_large);
    }
    bytes = std::move(content);
    return {};
}

std::error_code ReplaceWholeFile(const std::filesystem::path& fileName, std::string_view bytes) {
    std::filesystem::path target;
    if (std::error_code ec = ResolveTarget(fileName, target)) return ec;

    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    if (!existed && ::GetLastError() != ERROR_FILE_NOT_FOUND) return LastWindowsError();
    if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::make_error_code(std::errc::is_a_directory);
    }
    if (existed) {
        // The replacement needs only the folder's rights; a file the operator
        // made read-only, or may not write, must stay as it is, as with a
        // write in place.
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return WindowsErrorCode(ERROR_ACCESS_DENIED);
        THandle probe(::CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.Get() == INVALID_HANDLE_VALUE) return LastWindowsError();
    }

    std::filesystem::path temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kMaxTemporaryNameAttempts && created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = TemporarySibling(target);
        // The folder's inherited rights, as for any new file there.
        created = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
        if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return LastWindowsError();
    }
    if (created == INVALID_HANDLE_VALUE) return std::make_error_code(std::errc::file_exists);
    THandle file(created);

    const auto fail = [&](std::error_code ec) {
        ::DeleteFileW(temporary.c_str());
        return ec;
    };
    if (std::error_code ec = WriteAll(file.Get(), bytes)) return fail(ec);
    if (!::FlushFileBuffers(file.Get())) return fail(LastWindowsError());
    if (!file.Close()) return fail(LastWindowsError());
    if (existed) {
        // ReplaceFileW gives the new content the old file's identity: its
        // access list, attributes and creation time stay, as the owner and
        // permissions do on Linux.
        if (!::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                            nullptr)) {
            return fail(LastWindowsError());
        }
        return {};
    }
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return fail(LastWindowsError());
    }
    return {};
}

}  // namespace kdv
