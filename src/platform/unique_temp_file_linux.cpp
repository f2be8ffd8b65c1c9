#include "platform/unique_temp_file.h"

#include <fcntl.h>
#include <unistd.h>

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

std::filesystem::path CreateUniqueTempFile(const std::filesystem::path& folder, std::string_view extension) {
    int lastError = 0;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::filesystem::path path = folder / RandomName(extension);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kTempFileMode);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        lastError = errno;
        if (lastError != EEXIST) break;
    }
    throw EDiraError(TErrorKind::ekLocal, "Temporäre Datei konnte nicht angelegt werden in " + folder.string() + ": " +
                     std::strerror(lastError));
}

}  // namespace kdv
