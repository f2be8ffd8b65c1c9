#include "platform/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kdv {
namespace {

std::error_code LastError() { return {errno, std::system_category()}; }

// What the umask leaves of this is what every other new document gets.
constexpr mode_t kSharedFileMode = 0666;
constexpr mode_t kPrivateFileMode = 0600;

}  // namespace

TNewFile::~TNewFile() { Discard(); }

std::error_code TNewFile::Create(const std::filesystem::path& path, TNewFileRights rights) {
    Discard();
    // O_EXCL also refuses a dangling symbolic link, so nothing outside the
    // folder can be written through a planted link.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            rights == TNewFileRights::Private ? kPrivateFileMode : kSharedFileMode);
    if (fd < 0) return LastError();
    fd_ = fd;
    path_ = path;
    return {};
}

std::error_code TNewFile::Write(std::string_view bytes) {
    if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

std::error_code TNewFile::Close() {
    if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    std::error_code ec;
    // A full disk on a network share may show only here.
    if (::fsync(fd_) != 0 && errno != EINVAL) ec = LastError();
    if (::close(fd_) != 0 && !ec) ec = LastError();
    fd_ = -1;
    if (ec) {
        ::unlink(path_.c_str());
        return ec;
    }
    return {};
}

void TNewFile::Discard() noexcept {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
}

}  // namespace kdv
