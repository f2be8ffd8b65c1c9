#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dira_error.h"

namespace kdv {
namespace {

// Room for a process id and a line break.
constexpr std::size_t kHolderBytes = 32;

class TLinuxFileLock final : public IFileLock {
public:
    explicit TLinuxFileLock(const std::filesystem::path& Path) {
        // flock, not fcntl: its lock belongs to this open file, so two
        // objects of one process exclude each other as two processes do.
        fd_ = ::open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            throw EDiraError(TErrorKind::ekLocal, "Sperrdatei " + Path.string() + " kann nicht geöffnet werden: " + std::strerror(errno));
        }
    }
    ~TLinuxFileLock() override { ::close(fd_); }

    bool TryLock() override {
        if (locked_) return true;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno == EWOULDBLOCK) return false;
            throw EDiraError(TErrorKind::ekLocal, std::string("Sperre kann nicht gesetzt werden: ") + std::strerror(errno));
        }
        locked_ = true;
        // Only a help for the operator: who holds the lock.
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) == 0) {
            [[maybe_unused]] const ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
        }
        return true;
    }

    void Unlock() override {
        if (!locked_) return;
        ::flock(fd_, LOCK_UN);
        locked_ = false;
    }

    bool Locked() const override { return locked_; }

    std::string Holder() const override {
        char buffer[kHolderBytes] = {};
        const ssize_t got = ::pread(fd_, buffer, sizeof buffer - 1, 0);
        if (got <= 0) return {};
        std::string text(buffer, static_cast<std::size_t>(got));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text;
    }

private:
    int fd_ = -1;
    bool locked_ = false;
};

}  // namespace

std::unique_ptr<IFileLock> OpenFileLock(const std::filesystem::path& Path) {
    return std::make_unique<TLinuxFileLock>(Path);
}

}  // namespace kdv
