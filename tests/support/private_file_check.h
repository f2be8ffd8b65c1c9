#pragma once
// Whether a file is open to the service's own user only: mode 0600 where
// files have POSIX modes; on Windows a protected access list whose only
// entry is the running account's.
#include <filesystem>
#include <string>

namespace kdv::testing {

// Empty when private; otherwise what makes it readable by others.
std::string WhyNotPrivate(const std::filesystem::path& file);

}  // namespace kdv::testing
