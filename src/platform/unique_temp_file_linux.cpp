#include "platform/unique_temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "platform/dira_error.h"

namespace kdv {
namespace {

// Names are 64 random bits, so a clash is already unlikely once; this many
// in a row means the folder refuses new files for another reason.
constexpr int kCreateAttempts = 100;

// Attachments of received mail are nobody else's business.
constexpr mode_t kTempFileMode = 0600;

std::string RandomName(std::string_view extension) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "kdv";
    std::uint64_t bits = random();
    for (int i = 0; i < 16; ++i, bits >>= 4) name += kHex[bits & 0xF];
    name += extension;
    return name;
}

}  // namespace

namespace {

// Creates the file and returns it open for writing.
int OpenUniqueTempFile(const std::filesystem::path& folder, std::string_view extension, std::filesystem::path& path,
                       int access) {
    int lastError = 0;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        path = folder / RandomName(extension);
        const int fd = ::open(path.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC, kTempFileMode);
        if (fd >= 0) return fd;
        lastError = errno;
        if (lastError != EEXIST) break;
    }
    throw EDiraError(TErrorKind::ekLocal, "Temporäre Datei konnte nicht angelegt werden in " + folder.string() + ": " +
                     std::strerror(lastError));
}

}  // namespace

std::filesystem::path CreateUniqueTempFile(const std::filesystem::path& folder, std::string_view extension) {
    std::filesystem::path path;
    ::close(OpenUniqueTempFile(folder, extension, path, O_WRONLY));
    return path;
}

TReusedTempFile::TReusedTempFile(const std::filesystem::path& folder, std::string_view extension)
    : fd_(OpenUniqueTempFile(folder, extension, path_, O_RDWR)) {}

TReusedTempFile::~TReusedTempFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::error_code TReusedTempFile::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t rc = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(written_));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return {errno, std::generic_category()};
        }
        written_ += static_cast<std::uint64_t>(rc);
        bytes.remove_prefix(static_cast<std::size_t>(rc));
    }
    length_ = std::max(length_, written_);
    return {};
}

std::error_code TReusedTempFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size,
                                        std::size_t& read) const {
    for (;;) {
        const ssize_t rc = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
        if (rc >= 0) {
            read = static_cast<std::size_t>(rc);
            return {};
        }
        if (errno != EINTR) return {errno, std::generic_category()};
    }
}

std::error_code TReusedTempFile::Finish() {
    if (length_ == written_) return {};
    if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0) return {errno, std::generic_category()};
    length_ = written_;
    return {};
}

}  // namespace kdv
