#include "platform/text_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace kdv {

namespace {

// A fresh name for the file written beside the target before the rename.
std::filesystem::path TemporarySibling(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    const long pid = static_cast<long>(::getpid());
    std::filesystem::path name = target;
    name += "." + std::to_string(pid) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
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

}  // namespace

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : FFd(fd) {}
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    ~TFileDescriptor() {
        if (FFd >= 0) ::close(FFd);
    }
    int Get() const { return FFd; }
    // Closes now so that a failing close (delayed write error) is seen.
    int Close() {
        const int result = ::close(FFd);
        FFd = -1;
        return result;
    }

private:
    int FFd;
};

std::error_code WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

}  // namespace

std::error_code ReadWholeFile(const std::filesystem::path& fileName, std::uintmax_t maxBytes,
                              std::string& bytes) {
    bytes.clear();
    // Non-blocking, so a named pipe in the file's place cannot hang the caller.
    TFileDescriptor file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.Get() < 0) return LastError();
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) return LastError();
    if (S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    if (!S_ISREG(info.st_mode)) return std::make_error_code(std::errc::invalid_argument);
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
        return std::make_error_code(std::errc::file_too_large);
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
        // The file may grow while it is read.
        if (content.size() > maxBytes) return std::make_error_code(std::errc::file_too_large);
    }
    bytes = std::move(content);
    return {};
}

std::error_code ReplaceWholeFile(const std::filesystem::path& fileName, std::string_view bytes) {
    std::filesystem::path target;
    if (std::error_code ec = ResolveTarget(fileName, target)) return ec;

    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (!existed && errno != ENOENT) return LastError();
    if (existed && S_ISDIR(old.st_mode)) return std::make_error_code(std::errc::is_a_directory);
    // The rename needs only the folder's rights; a file the operator made
    // read-only must stay as it is, as with a write in place.
    if (existed && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return LastError();

    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kMaxTemporaryNameAttempts && fd < 0; ++attempt) {
        temporary = TemporarySibling(target);
        // 0666 lets the umask decide the rights of a file that is new.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return LastError();
    }
    if (fd < 0) return std::make_error_code(std::errc::file_exists);
    TFileDescriptor file(fd);

    const auto fail = [&](std::error_code ec) {
        ::unlink(temporary.c_str());
        return ec;
    };
    if (std::error_code ec = WriteAll(file.Get(), bytes)) return fail(ec);
    if (existed) {
        if (::fchmod(file.Get(), old.st_mode & 07777) != 0) return fail(LastError());
        // Only a privileged process may hand the file back to its owner; for
        // any other the owner is already the same, so a refusal is no failure.
        [[maybe_unused]] const int owned = ::fchown(file.Get(), old.st_uid, old.st_gid);
    }
    if (::fsync(file.Get()) != 0) return fail(LastError());
    if (file.Close() != 0) return fail(LastError());
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(LastError());

    // Makes the rename itself durable; a failure here no longer loses anything.
    std::filesystem::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    TFileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() >= 0) ::fsync(directory.Get());
    return {};
}

}  // namespace kdv
