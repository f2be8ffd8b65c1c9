#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#ifdef _WIN32
#include <random>
#endif

namespace kdv::testing {

TTempDir::TTempDir(const std::string& prefix, const std::filesystem::path& base) {
#ifdef _WIN32
    // No mkdtemp there: a random name, taken only when the folder is new.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / (prefix + "." + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
        if (ec) throw std::runtime_error("create_directory failed: " + ec.message());
    }
    throw std::runtime_error("no new temporary folder");
#else
    std::string pattern = (base / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace kdv::testing
