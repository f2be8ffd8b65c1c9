#include "platform/unique_temp_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/windows_private_file.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

// Names are 64 random bits, so a clash is already unlikely once; this many
// in a row means the folder refuses new files for another reason.
constexpr int kCreateAttempts = 100;

// Readers open the file by its path while this handle is open for writing,
// and its removal must not wait for them.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Handle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

std::string RandomName(std::string_view extension) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "kdv";
    std::uint64_t bits = random();
    for (int i = 0; i < 16; ++i, bits >>= 4) name += kHex[bits & 0xF];
    name += extension;
    return name;
}

// Creates the file, readable by this user only (attachments of received
// mail are nobody else's business), and returns it open.
HANDLE OpenUniqueTempFile(const std::filesystem::path& folder, std::string_view extension,
                          std::filesystem::path& path, DWORD access) {
    TPrivateFileSecurity security;
    DWORD lastError = security.Error();
    if (security.Ok()) {
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            path = folder / PathFromUtf8(RandomName(extension));
            HANDLE file = ::CreateFileW(path.c_str(), access, kShareAll, security.Attributes(), CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY, nullptr);
            if (file != INVALID_HANDLE_VALUE) return file;
            lastError = ::GetLastError();
            if (lastError != ERROR_FILE_EXISTS && lastError != ERROR_ALREADY_EXISTS) break;
        }
    }
    throw EDiraError(TErrorKind::ekLocal, "Temporäre Datei konnte nicht angelegt werden in " + PathToUtf8(folder) +
                                              ": " + WindowsErrorText(lastError));
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

std::filesystem::path CreateUniqueTempFile(const std::filesystem::path& folder, std::string_view extension) {
    std::filesystem::path path;
    ::CloseHandle(OpenUniqueTempFile(folder, extension, path, GENERIC_WRITE));
    return path;
}

TReusedTempFile::TReusedTempFile(const std::filesystem::path& folder, std::string_view extension)
    : fd_(reinterpret_cast<std::intptr_t>(
          OpenUniqueTempFile(folder, extension, path_, GENERIC_READ | GENERIC_WRITE))) {}

TReusedTempFile::~TReusedTempFile() {
    ::CloseHandle(Handle(fd_));
    ::DeleteFileW(path_.c_str());
}

// Reads and writes name their offset, so the file position shared by the
// threads never matters (as pread and pwrite on Linux).
std::error_code TReusedTempFile::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        OVERLAPPED at = At(written_);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD done = 0;
        if (!::WriteFile(Handle(fd_), bytes.data(), chunk, &done, &at)) return LastWindowsError();
        if (done == 0) return WindowsErrorCode(ERROR_DISK_FULL);
        written_ += done;
        bytes.remove_prefix(done);
    }
    length_ = std::max(length_, written_);
    return {};
}

std::error_code TReusedTempFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size,
                                        std::size_t& read) const {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(Handle(fd_), buffer, chunk, &got, &at)) {
        if (::GetLastError() != ERROR_HANDLE_EOF) return LastWindowsError();
        got = 0;
    }
    read = got;
    return {};
}

std::error_code TReusedTempFile::Finish() {
    if (length_ == written_) return {};
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(written_);
    if (!::SetFileInformationByHandle(Handle(fd_), FileEndOfFileInfo, &end, sizeof end)) return LastWindowsError();
    length_ = written_;
    return {};
}

}  // namespace kdv
