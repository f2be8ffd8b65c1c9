#pragma once
#include <filesystem>

namespace kdv {

// Full path of the running executable; empty when the system cannot tell.
std::filesystem::path ExecutablePath();

}  // namespace kdv
