#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>

namespace kdv::testing {

TTempDir::TTempDir(const std::string& prefix, const std::filesystem::path& base) {
    std::string pattern = (base / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace kdv::testing
