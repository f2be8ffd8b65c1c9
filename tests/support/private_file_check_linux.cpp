#include <cstdio>

#include "support/private_file_check.h"

namespace kdv::testing {

std::string WhyNotPrivate(const std::filesystem::path& file) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::perms mode = fs::status(file, error).permissions() & fs::perms::all;
    if (error) return error.message();
    if (mode != (fs::perms::owner_read | fs::perms::owner_write)) {
        char text[8];
        std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(mode));
        return std::string("mode ") + text;
    }
    return {};
}

}  // namespace kdv::testing
