#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "platform/dira_error.h"
#include "platform/log_file_system.h"

namespace kdv {
namespace {

// Block size for copying a rotated log across volumes.
constexpr std::size_t kCopyBufferSize = 64 * 1024;

// New log files are readable by everyone, as an operator expects of a log.
constexpr mode_t kLogFileMode = 0644;

std::string SystemMessage(int err) { return std::system_category().message(err); }

[[noreturn]] void RaiseSystemError(int err, const std::filesystem::path& path) {
    throw EDiraError(TErrorKind::ekLocal, SystemMessage(err) + " (" + path.string() + ")");
}

[[noreturn]] void RaiseSystemError(int err) { throw EDiraError(TErrorKind::ekLocal, SystemMessage(err)); }

class TLinuxLogFileHandle final : public ILogFileHandle {
public:
    explicit TLinuxLogFileHandle(int fd) : fd_(fd) {}
    ~TLinuxLogFileHandle() override {
        if (fd_ >= 0) ::close(fd_);
    }
    TLinuxLogFileHandle(const TLinuxLogFileHandle&) = delete;
    TLinuxLogFileHandle& operator=(const TLinuxLogFileHandle&) = delete;

    void Write(std::string_view bytes) override {
        if (fd_ < 0) RaiseSystemError(EBADF);
        const off_t before = ::lseek(fd_, 0, SEEK_END);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            const int err = n < 0 ? errno : ENOSPC;
            // Cut a partial line off again, so the next line starts on its own.
            if (done > 0 && before >= 0) (void)::ftruncate(fd_, before);
            RaiseSystemError(err);
        }
    }

    // write() hands every byte to the system at once; nothing is held back here.
    void Flush() override {
        if (fd_ < 0) RaiseSystemError(EBADF);
    }

    void Close() override {
        if (fd_ < 0) return;
        const int fd = fd_;
        fd_ = -1;
        // After close() fails the descriptor is released anyway; EINTR is no loss.
        if (::close(fd) != 0 && errno != EINTR) RaiseSystemError(errno);
    }

    bool IsStillAt(const std::filesystem::path& path) const override {
        struct stat open {};
        if (fd_ < 0 || ::fstat(fd_, &open) != 0) return true;  // cannot tell: keep writing
        if (open.st_nlink == 0) return false;
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0) {
            // Only a missing name is a removal; a passing error must not lose lines.
            return errno != ENOENT && errno != ENOTDIR;
        }
        return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
    }

private:
    int fd_;
};

// Copies `from` into a new file `to`; false (and no `to`) when anything fails.
bool CopyToNewFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLogFileMode);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::string buffer(kCopyBufferSize, '\0');
    while (ok) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t put = 0; ok && put < got;) {
            const ssize_t n = ::write(out, buffer.data() + put, static_cast<std::size_t>(got - put));
            if (n > 0) {
                put += n;
            } else if (n == 0 || errno != EINTR) {
                ok = false;
            }
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok) ::unlink(to.c_str());
    return ok;
}

bool CopyThenRemove(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!CopyToNewFile(from, to)) return false;
    if (::unlink(from.c_str()) == 0) return true;
    // The source stays, so the copy must go: a move is all or nothing.
    ::unlink(to.c_str());
    return false;
}

class TLinuxLogFileSystem final : public ILogFileSystem {
public:
    bool FileExists(const std::filesystem::path& path) override {
        struct stat st {};
        return !path.empty() && ::lstat(path.c_str(), &st) == 0;
    }

    bool ForceDirectories(const std::filesystem::path& folder) override {
        if (folder.empty()) return true;
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        return std::filesystem::is_directory(folder, ec);
    }

    std::unique_ptr<ILogFileHandle> OpenAppend(const std::filesystem::path& path) override {
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) RaiseSystemError(errno, path);
        return std::make_unique<TLinuxLogFileHandle>(fd);
    }

    bool MoveFileNoReplace(const std::filesystem::path& from,
                           const std::filesystem::path& to) override {
        if (from.empty() || to.empty()) return false;
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        int err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // File systems without the no-replace rename: a hard link refuses
            // an existing target just as well.
            if (::link(from.c_str(), to.c_str()) == 0) {
                if (::unlink(from.c_str()) == 0) return true;
                ::unlink(to.c_str());
                return false;
            }
            err = errno;
        }
        if (err != EXDEV) return false;
        if (FileExists(to)) return false;
        return CopyThenRemove(from, to);
    }
};

}  // namespace

ILogFileSystem& SystemLogFileSystem() {
    static TLinuxLogFileSystem files;
    return files;
}

}  // namespace kdv
