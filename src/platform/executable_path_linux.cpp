#include "platform/executable_path.h"

#include <system_error>

namespace kdv {

std::filesystem::path ExecutablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : p;
}

}  // namespace kdv
