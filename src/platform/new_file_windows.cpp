#include "platform/new_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows_private_file.h"
#include "platform/windows_text.h"

namespace kdv {
namespace {

HANDLE Handle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

}  // namespace

TNewFile::~TNewFile() { Discard(); }

std::error_code TNewFile::Create(const std::filesystem::path& path, TNewFileRights rights) {
    Discard();
    // Shared: the folder's inherited rights, as every new document there
    // gets them. Private: only the service's own user.
    TPrivateFileSecurity privateSecurity;
    SECURITY_ATTRIBUTES* security = nullptr;
    if (rights == TNewFileRights::Private) {
        if (!privateSecurity.Ok()) return WindowsErrorCode(privateSecurity.Error());
        security = privateSecurity.Attributes();
    }
    // CREATE_NEW refuses any existing name, a link or a folder included, so
    // nothing outside the folder can be written through a planted link.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, security, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastWindowsError();
    fd_ = reinterpret_cast<std::intptr_t>(file);
    path_ = path;
    return {};
}

std::error_code TNewFile::Write(std::string_view bytes) {
    if (fd_ == -1) return std::make_error_code(std::errc::bad_file_descriptor);
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(Handle(fd_), bytes.data(), chunk, &written, nullptr)) return LastWindowsError();
        if (written == 0) return WindowsErrorCode(ERROR_DISK_FULL);
        bytes.remove_prefix(written);
    }
    return {};
}

std::error_code TNewFile::Close() {
    if (fd_ == -1) return std::make_error_code(std::errc::bad_file_descriptor);
    std::error_code ec;
    // A full disk on a network share may show only here.
    if (!::FlushFileBuffers(Handle(fd_))) ec = LastWindowsError();
    if (!::CloseHandle(Handle(fd_)) && !ec) ec = LastWindowsError();
    fd_ = -1;
    if (ec) {
        ::DeleteFileW(path_.c_str());
        return ec;
    }
    return {};
}

void TNewFile::Discard() noexcept {
    if (fd_ == -1) return;
    ::CloseHandle(Handle(fd_));
    fd_ = -1;
    ::DeleteFileW(path_.c_str());
}

}  // namespace kdv
